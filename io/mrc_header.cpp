#include "io/mrc_header.h"

#include <sys/stat.h>

#include <algorithm>
#include <bit>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "io/fail.h"

namespace {

// Headers in the other byte order show absurd MODE or NZ values.
constexpr int32_t kMaxPlausible = 65535;
// Words NX ... NLABL; the labels are text and stay as they are.
constexpr int kNumericWords = 56;

std::string formatted(const char* format, long long a, long long b = 0, long long c = 0) {
    char message[256];
    snprintf(message, sizeof message, format, a, b, c);
    return message;
}

bool other_byte_order(const MrcHeader& h) {
    // std::abs of INT_MIN is undefined; widen first.
    return std::llabs((long long)h.mode) > kMaxPlausible || std::llabs((long long)h.nz) > kMaxPlausible;
}

// Checks that the header can describe a stack readable with 32-bit counts.
std::string size_problem(const MrcHeader& h) {
    if (h.nx <= 0 || h.ny <= 0 || h.nz <= 0)
        return formatted("Image size not acceptable: NX %lld, NY %lld, NZ %lld (each must be at least 1).\n\n",
                         h.nx, h.ny, h.nz);
    if (h.nsymbt < 0) return formatted("Extended header size not acceptable: NSYMBT %lld.\n\n", h.nsymbt);
    const long long row_by_tilts = (long long)h.nx * h.nz;
    if (row_by_tilts > INT32_MAX)
        return formatted("Image too large: NX * NZ = %lld samples, at most 2147483647 supported.\n\n", row_by_tilts);
    const long long samples = row_by_tilts * h.ny;
    if (samples > INT32_MAX)
        return formatted("Image too large: NX * NY * NZ = %lld samples, at most 2147483647 supported.\n\n",
                         samples);
    return "";
}

// Only a regular file has a size to compare; pipes and devices rely on the
// short-read checks of the readers.
std::string length_problem(FILE* file, const MrcHeader& h) {
    struct stat st;
    if (fstat(fileno(file), &st) != 0 || !S_ISREG(st.st_mode)) return "";
    const long long needed =
        1024LL + h.nsymbt + (long long)h.nx * h.ny * h.nz * mrc_bytes_per_sample(h.mode);
    if ((long long)st.st_size < needed)
        return formatted("Input file too short: %lld bytes, the header describes %lld.\n\n", (long long)st.st_size,
                         needed);
    return "";
}

}  // namespace

int mrc_bytes_per_sample(int mode) {
    switch (mode) {
        case 0: return 1;
        case 1: return 2;
        case 2: return 4;
        default: return 0;
    }
}

void mrc_swap_header_words(MrcHeader* header) {
    auto* bytes = reinterpret_cast<unsigned char*>(header);
    for (int w = 0; w < kNumericWords; ++w) std::reverse(bytes + 4 * w, bytes + 4 * w + 4);
}

std::string mrc_try_read_header(FILE* file, MrcHeaderRead* out) {
    MrcHeader h;
    if (fread(&h, sizeof h, 1, file) != 1) return "Error reading header.\n\n";
    const int swapped = other_byte_order(h) ? 1 : 0;
    if (swapped) mrc_swap_header_words(&h);
    if (mrc_bytes_per_sample(h.mode) == 0) return "Image Mode not acceptable.\n\n";
    if (std::string problem = size_problem(h); !problem.empty()) return problem;
    if (std::string problem = length_problem(file, h); !problem.empty()) return problem;

    // Owned here until handed over whole, so that a failed read leaves nothing behind.
    std::unique_ptr<MrcHeader> header(new (std::nothrow) MrcHeader(h));
    if (!header) return "No memory for header.\n\n";
    std::unique_ptr<unsigned char[]> ext;
    if (h.nsymbt > 0) {
        ext.reset(new (std::nothrow) unsigned char[(size_t)h.nsymbt + 4]());
        if (!ext) return "No memory for header.\n\n";
        if (fread(ext.get(), 1, (size_t)h.nsymbt, file) != (size_t)h.nsymbt) return "Error reading extended header.\n\n";
    }
    *out = MrcHeaderRead{std::move(header), swapped, std::move(ext), 1024 + (int64_t)h.nsymbt};
    return "";
}

MrcHeaderRead mrc_read_header(FILE* file) {
    MrcHeaderRead result{};
    if (const std::string problem = mrc_try_read_header(file, &result); !problem.empty()) fail(problem.c_str());
    return result;
}

void mrc_set_standard_tags(MrcHeader* header) {
    std::memcpy(header->map, "MAP ", 4);
    const bool little = std::endian::native == std::endian::little;
    const unsigned char stamp = little ? 0x44 : 0x11;
    header->machst[0] = stamp;
    header->machst[1] = stamp;
    header->machst[2] = 0;
    header->machst[3] = 0;
    header->nversion = MRC_NVERSION;
}

void mrc_fill_header(std::unique_ptr<MrcHeader>* owner, int nx, int ny, int nz, float min, float max, double mean) {
    if (!*owner) {
        owner->reset(new (std::nothrow) MrcHeader);
        if (!*owner) fail("No memory for header.\n\n");
        std::memset(owner->get(), 0, sizeof(MrcHeader));
        (*owner)->ispg = 1;
    }
    MrcHeader* header = owner->get();
    header->nx = nx;
    header->ny = ny;
    header->nz = nz;
    header->mode = 2;
    header->nxstart = header->nystart = header->nzstart = 0;
    header->mx = nx;
    header->my = ny;
    header->mz = nz;
    header->mapc = 1;
    header->mapr = 2;
    header->maps = 3;
    header->dmin = min;
    header->dmax = max;
    header->dmean = (float)mean;
    mrc_set_standard_tags(header);
}

bool mrc_write_header(FILE* file, MrcHeader* header, const unsigned char* ext_header, int mode) {
    header->mode = mode;
    header->ispg = 1;
    mrc_set_standard_tags(header);
    if (fseeko(file, 0, SEEK_SET) != 0) return false;
    if (fwrite(header, sizeof *header, 1, file) != 1) return false;
    if (ext_header && header->nsymbt > 0 &&
        fwrite(ext_header, 1, (size_t)header->nsymbt, file) != (size_t)header->nsymbt)
        return false;
    return fflush(file) == 0;
}
