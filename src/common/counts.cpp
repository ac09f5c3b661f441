#include "common/counts.hpp"

#include <cstring>
#include <limits>
#include <string>

#include "common/messages.hpp"
#include "common/report.hpp"

namespace kerrow {

std::int64_t to_integer(const char* text) noexcept {
    const char* p = text;
    while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\v' || *p == '\f' || *p == '\r') ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') negative = *p++ == '-';
    constexpr std::int64_t cap = std::int64_t{1} << 40;  // well past the 32-bit range
    std::int64_t value = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        if (value < cap) value = value * 10 + (*p - '0');
    }
    return negative ? -value : value;
}

bool convert_count(const char* text, std::int32_t& value, const char* name) {
    const std::int64_t v = to_integer(text);
    if (v == 0 || v < std::numeric_limits<std::int32_t>::min() ||
        v > std::numeric_limits<std::int32_t>::max()) {
        const char* digits = text + std::strspn(text, " \t\n\v\f\r");
        digits += (*digits == '+' || *digits == '-') ? 1 : 0;
        return fail_argument(message::value_must_be_integer, name, text,
                             v != 0                             ? "outside the signed 32-bit range"
                             : *digits >= '0' && *digits <= '9' ? "must not be 0"
                                                                : "not a number");
    }
    value = static_cast<std::int32_t>(v);
    return true;
}

}  // namespace kerrow
