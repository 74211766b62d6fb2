#include "types.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <stdexcept>

namespace velmar {

namespace {

// Closes the descriptor on every way out.
struct Descriptor {
    int fd = -1;
    ~Descriptor() {
        if (fd >= 0) ::close(fd);
    }
};

Error system_error() {
    return Error{std::strerror(errno)};
}

// Opens `path` for reading and returns its length if it is a regular file. O_NONBLOCK: a FIFO
// without a writer would otherwise hold the open for ever; it changes nothing for a regular
// file. The type comes from the open descriptor, so a name swapped after a check cannot slip by.
Result<uint64_t> open_regular(const std::string& path, Descriptor& file) {
    file.fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (file.fd < 0) return system_error();
    struct stat st;
    if (::fstat(file.fd, &st) != 0) return system_error();
    if (!S_ISREG(st.st_mode)) return Error{"not a regular file"};
    return uint64_t(st.st_size);
}

// Reads from the start of the file into dst[0..n), fewer bytes at its end.
Result<size_t> read_up_to(int fd, uint8_t* dst, size_t n) {
    size_t got = 0;
    while (got < n) {
        const ssize_t r = ::read(fd, dst + got, n - got);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) return system_error();
        if (r == 0) break;
        got += size_t(r);
    }
    return got;
}

}  // namespace

Result<FileHead> read_file_head(const std::string& path, size_t count) {
    Descriptor file;
    Result<uint64_t> size = open_regular(path, file);
    if (!size.ok()) return size.error();
    FileHead head;
    head.size = size.value();
    head.bytes.resize(size_t(std::min<uint64_t>(count, head.size)));
    Result<size_t> got = read_up_to(file.fd, head.bytes.data(), head.bytes.size());
    if (!got.ok()) return got.error();
    head.bytes.resize(got.value());
    return head;
}

Result<std::vector<uint8_t>> read_file(const std::string& path, uint64_t max_bytes) {
    Descriptor file;
    Result<uint64_t> size = open_regular(path, file);
    if (!size.ok()) return size.error();
    if (size.value() > max_bytes)
        return Error{"file has " + std::to_string(size.value()) + " bytes, more than "
                     + std::to_string(max_bytes)};
    std::vector<uint8_t> bytes;
    try {
        bytes.resize(size_t(size.value()) + 1);
    } catch (const std::bad_alloc&) {
        return Error{"not enough memory to read " + std::to_string(size.value()) + " bytes"};
    } catch (const std::length_error&) {
        return Error{"not enough memory to read " + std::to_string(size.value()) + " bytes"};
    }
    Result<size_t> got = read_up_to(file.fd, bytes.data(), bytes.size());
    if (!got.ok()) return got.error();
    bytes.resize(got.value());
    return bytes;
}

}  // namespace velmar
