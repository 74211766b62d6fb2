// Text helpers of the command loop: UTF-8 validation, Unicode white-space trimming and
// splitting, and the strict number readers used for command arguments and option values.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velmar::uci {

bool is_valid_utf8(std::string_view s);
std::string_view trim(std::string_view s);  // Unicode white space at both ends
std::vector<std::string> split_words(std::string_view s);
std::string join(const std::vector<std::string>& words, size_t first, size_t last);
std::string ascii_lower(std::string_view s);

// Decimal digits with an optional leading '+' (and '-' for the signed readers); a lone sign,
// any other character or overflow gives nothing.
std::optional<uint64_t> parse_u64(std::string_view s);
std::optional<uint32_t> parse_u32(std::string_view s);
std::optional<int64_t> parse_i64(std::string_view s);
std::optional<int32_t> parse_i32(std::string_view s);
// As parse_i64, but a number beyond the range reads as the nearest end of it.
std::optional<int64_t> parse_i64_saturating(std::string_view s);

}  // namespace velmar::uci
