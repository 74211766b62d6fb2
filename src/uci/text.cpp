#include "text.h"

#include <limits>

namespace velmar::uci {

namespace {

// Decodes one UTF-8 code point at s[i]; returns its length, 0 when malformed.
size_t decode(std::string_view s, size_t i, uint32_t& cp) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    size_t len = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    if (len == 0 || i + len > s.size()) return 0;
    cp = len == 1 ? c : c & (0x7F >> len);
    for (size_t k = 1; k < len; ++k) {
        unsigned char cc = static_cast<unsigned char>(s[i + k]);
        if ((cc >> 6) != 2) return 0;
        cp = (cp << 6) | (cc & 0x3F);
    }
    static constexpr uint32_t MIN[5] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < MIN[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
    return len;
}

bool is_unicode_space(uint32_t cp) {
    return (cp >= 0x09 && cp <= 0x0D) || cp == 0x20 || cp == 0x85 || cp == 0xA0 || cp == 0x1680
           || (cp >= 0x2000 && cp <= 0x200A) || cp == 0x2028 || cp == 0x2029 || cp == 0x202F
           || cp == 0x205F || cp == 0x3000;
}

// Length of the white-space code point at s[i], 0 when s[i] starts anything else.
size_t space_at(std::string_view s, size_t i) {
    uint32_t cp = 0;
    size_t len = decode(s, i, cp);
    return len && is_unicode_space(cp) ? len : 0;
}

template <typename T>
std::optional<T> parse_integer(std::string_view s, bool allow_minus) {
    bool negative = false;
    if (!s.empty() && (s[0] == '+' || (allow_minus && s[0] == '-'))) {
        negative = s[0] == '-';
        s.remove_prefix(1);
    }
    if (s.empty()) return std::nullopt;
    // Accumulate as a negative number for signed types so the minimum value is readable.
    using Wide = std::conditional_t<std::is_signed_v<T>, int64_t, uint64_t>;
    Wide value = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return std::nullopt;
        int digit = c - '0';
        if constexpr (std::is_signed_v<T>) {
            if (value < (std::numeric_limits<T>::min() + digit) / 10) return std::nullopt;
            value = value * 10 - digit;
        } else {
            if (value > (std::numeric_limits<T>::max() - digit) / 10) return std::nullopt;
            value = value * 10 + digit;
        }
    }
    if constexpr (std::is_signed_v<T>) {
        if (!negative) {
            if (value < -std::numeric_limits<T>::max()) return std::nullopt;
            value = -value;
        }
    } else if (negative) {
        return std::nullopt;
    }
    return T(value);
}

}  // namespace

bool is_valid_utf8(std::string_view s) {
    for (size_t i = 0; i < s.size();) {
        uint32_t cp = 0;
        size_t len = decode(s, i, cp);
        if (!len) return false;
        i += len;
    }
    return true;
}

std::string_view trim(std::string_view s) {
    size_t begin = 0;
    while (begin < s.size()) {
        size_t len = space_at(s, begin);
        if (!len) break;
        begin += len;
    }
    size_t end = begin;
    for (size_t i = begin; i < s.size();) {
        size_t len = space_at(s, i);
        if (len) {
            i += len;
        } else {
            uint32_t cp = 0;
            size_t step = decode(s, i, cp);
            i += step ? step : 1;
            end = i;
        }
    }
    return s.substr(begin, end - begin);
}

std::vector<std::string> split_words(std::string_view s) {
    std::vector<std::string> words;
    std::string current;
    for (size_t i = 0; i < s.size();) {
        if (size_t len = space_at(s, i)) {
            if (!current.empty()) words.push_back(std::move(current));
            current.clear();
            i += len;
        } else {
            current += s[i++];
        }
    }
    if (!current.empty()) words.push_back(std::move(current));
    return words;
}

std::string join(const std::vector<std::string>& words, size_t first, size_t last) {
    std::string out;
    for (size_t i = first; i < last && i < words.size(); ++i) {
        if (i > first) out += ' ';
        out += words[i];
    }
    return out;
}

std::string ascii_lower(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    return out;
}

std::optional<uint64_t> parse_u64(std::string_view s) { return parse_integer<uint64_t>(s, false); }
std::optional<uint32_t> parse_u32(std::string_view s) { return parse_integer<uint32_t>(s, false); }
std::optional<int64_t> parse_i64(std::string_view s) { return parse_integer<int64_t>(s, true); }
std::optional<int32_t> parse_i32(std::string_view s) { return parse_integer<int32_t>(s, true); }

std::optional<int64_t> parse_i64_saturating(std::string_view s) {
    if (std::optional<int64_t> v = parse_i64(s)) return v;
    const bool negative = !s.empty() && s[0] == '-';
    if (!s.empty() && (s[0] == '+' || s[0] == '-')) s.remove_prefix(1);
    if (s.empty() || s.find_first_not_of("0123456789") != std::string_view::npos)
        return std::nullopt;
    return negative ? std::numeric_limits<int64_t>::min() : std::numeric_limits<int64_t>::max();
}

}  // namespace velmar::uci
