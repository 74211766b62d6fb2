#include "types.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

namespace velmar {

Result<std::vector<uint8_t>> read_file(const std::string& path) {
    std::error_code ec;
    const auto size = std::filesystem::file_size(path, ec);
    if (ec) return Error{ec.message()};
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) return Error{std::strerror(errno)};
    std::vector<uint8_t> bytes(size_t(size) + 1);
    const size_t got = std::fread(bytes.data(), 1, bytes.size(), file);
    const bool failed = std::ferror(file) != 0;
    const int err = errno;
    std::fclose(file);
    if (failed) return Error{std::strerror(err)};
    bytes.resize(got);
    return bytes;
}

}  // namespace velmar
