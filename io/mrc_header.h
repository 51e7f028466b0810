#pragma once
#include <memory>
#include <cstdint>
#include <cstdio>
#include <string>

// The 1024-byte MRC header exactly as it lies in the file (host byte order
// once read). Offsets in comments.
struct MrcHeader {
    int32_t nx;          //   0 samples per row
    int32_t ny;          //   4 rows per section
    int32_t nz;          //   8 sections
    int32_t mode;        //  12 0 = uint8, 1 = int16, 2 = float32
    int32_t nxstart;     //  16
    int32_t nystart;     //  20
    int32_t nzstart;     //  24
    int32_t mx;          //  28 intervals along X
    int32_t my;          //  32
    int32_t mz;          //  36
    float cella[3];      //  40 cell dimensions (Angstrom)
    float cellb[3];      //  52 cell angles
    int32_t mapc;        //  64
    int32_t mapr;        //  68
    int32_t maps;        //  72
    float dmin;          //  76
    float dmax;          //  80
    float dmean;         //  84
    int32_t ispg;        //  88 space group
    int32_t nsymbt;      //  92 bytes of extended header
    char extra1[12];     //  96 free space (EXTRA, first part)
    int32_t nversion;    // 108 format version, inside EXTRA
    char extra2[84];     // 112 free space (EXTRA, rest)
    float origin[3];     // 196
    char map[4];         // 208 "MAP "
    unsigned char machst[4];  // 212 machine stamp
    float rms;           // 216 RMS deviation from the mean
    int32_t nlabl;       // 220
    char label[10][80];  // 224
};
static_assert(sizeof(MrcHeader) == 1024, "MRC header must be 1024 bytes");

// Result of reading a header from a file.
struct MrcHeaderRead {
    std::unique_ptr<MrcHeader> header;
    int swapped = 0;                               // 1 when the file is in the other byte order
    std::unique_ptr<unsigned char[]> ext_header;   // NSYMBT bytes (+4 slack), or none
    int64_t data_offset = 0;                       // 1024 + NSYMBT
};

// Format version written into every header (NVERSION).
constexpr int32_t MRC_NVERSION = 20140;

// Bytes per sample of an accepted MODE (0, 1, 2); 0 for any other mode.
int mrc_bytes_per_sample(int mode);

// Reads and validates the header at the start of file; ends the process on failure.
// Besides MODE it refuses sizes that cannot describe a readable stack: NX, NY or
// NZ <= 0, NSYMBT < 0, NX*NZ or NX*NY*NZ beyond 32-bit counts, and (for regular
// files) a file shorter than 1024 + NSYMBT + NX*NY*NZ*bytes per sample.
MrcHeaderRead mrc_read_header(FILE* file);

// As mrc_read_header, but returns the message instead of ending the process
// (empty on success; out is untouched on failure).
std::string mrc_try_read_header(FILE* file, MrcHeaderRead* out);

// Fills a header for a float image; creates a zeroed one (ISPG 1) when there is none.
// Also sets the standard tags (MAP, MACHST, NVERSION).
void mrc_fill_header(std::unique_ptr<MrcHeader>* header, int nx, int ny, int nz, float min, float max, double mean);

// MAP = "MAP ", MACHST = this host's stamp, NVERSION = MRC_NVERSION.
void mrc_set_standard_tags(MrcHeader* header);

// Sets MODE (2 unless given), ISPG 1 and the standard tags, writes the 1024
// bytes at byte 0, then the extended header (NSYMBT bytes) when ext_header is
// not null, and flushes. Returns false when the seek, a write or the flush fails.
bool mrc_write_header(FILE* file, MrcHeader* header, const unsigned char* ext_header, int mode = 2);

// Reverses the 4 bytes of each of the first 56 words (NX ... NLABL).
void mrc_swap_header_words(MrcHeader* header);
