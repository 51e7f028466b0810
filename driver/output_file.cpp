#include "driver/output_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "io/host_array.h"
#include "io/fail.h"

namespace {

// A symbolic link is replaced through its target, so the link itself stays.
std::string resolved(const char* name) {
    struct stat link;
    if (lstat(name, &link) != 0 || !S_ISLNK(link.st_mode)) return name;
    const std::unique_ptr<char, HostFree> target(realpath(name, nullptr));
    return target ? std::string(target.get()) : std::string(name);
}

// The mode the file would get from fopen: the existing output's, or 0666 less the umask.
mode_t output_mode(const struct stat* existing) {
    if (existing) return existing->st_mode & 07777;
    const mode_t mask = umask(0);
    umask(mask);
    return 0666 & ~mask;
}

std::string temp_name_for(const std::string& path) {
    const size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    // Short enough for a file name of at most 255 bytes.
    const std::string name = path.substr(slash == std::string::npos ? 0 : slash + 1).substr(0, 200);
    return folder + "." + name + ".skarbel-XXXXXX";
}

// Closes the file and removes the temporary file, if any; the strings stay usable.
void discard(OutputFile* out) {
    if (!out->temp_path.empty()) unlink(out->temp_path.c_str());
    out->temp_path.clear();
    if (out->file) fclose(out->file);
    out->file = nullptr;
}

}  // namespace

std::string output_file_folder(const char* output_name) {
    const std::string path = resolved(output_name);
    struct stat existing;
    if (stat(path.c_str(), &existing) == 0 && !S_ISREG(existing.st_mode)) return "";
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

OutputFile output_file_open(const char* output_name) {
    OutputFile out;
    out.path = resolved(output_name);
    struct stat existing;
    const bool exists = stat(out.path.c_str(), &existing) == 0;
    if (exists && !S_ISREG(existing.st_mode)) {
        out.file = fopen(out.path.c_str(), "w+");
        if (!out.file) fail("Unable to open output file.\n\n");
        return out;
    }
    if (exists && access(out.path.c_str(), W_OK) != 0) fail("Unable to open output file.\n\n");
    std::string temp = temp_name_for(out.path);
    const int fd = mkstemp(temp.data());
    if (fd < 0) fail("Unable to open output file.\n\n");
    out.temp_path = temp;
    if (fchmod(fd, output_mode(exists ? &existing : nullptr)) != 0 || !(out.file = fdopen(fd, "w+"))) {
        close(fd);
        fail("Unable to open output file.\n\n");
    }
    return out;
}

void output_file_commit(OutputFile* output) {
    const bool closed = fclose(output->file) == 0;
    output->file = nullptr;
    if (!closed) fail("Error writing output file.\n\n");
    if (output->temp_path.empty()) return;
    if (rename(output->temp_path.c_str(), output->path.c_str()) != 0) fail("Error writing output file.\n\n");
    output->temp_path.clear();
}

OutputFile& OutputFile::operator=(OutputFile&& other) noexcept {
    if (this == &other) return *this;
    discard(this);
    file = std::exchange(other.file, nullptr);
    path = std::move(other.path);
    temp_path = std::exchange(other.temp_path, std::string());
    return *this;
}

OutputFile::~OutputFile() { discard(this); }
