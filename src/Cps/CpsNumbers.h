#pragma once

#include <cstddef>

namespace cps {

// The number made of the leading decimal digits of text, reading at most maxBytes bytes; 0 for an
// empty or non-numeric text. Saturates instead of overflowing, since texts come from outside.
inline int leadingDecimal(const char *text, std::size_t maxBytes = static_cast<std::size_t>(-1))
{
    constexpr int kLargest = 999999999;
    int value = 0;
    for (std::size_t index = 0; text && index < maxBytes && text[index] >= '0' && text[index] <= '9'; ++index) {
        value = value > kLargest / 10 ? kLargest : value * 10 + (text[index] - '0');
    }
    return value;
}

} // namespace cps
