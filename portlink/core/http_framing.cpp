#include "http_framing.h"

#include <cstdint>
#include <cstring>

namespace portlink {

namespace {

char asciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// First occurrence of `needle` in bytes[from, length), letters compared without regard to
// case when `ignoreCase` is set; `length` when there is none.
size_t findBytes(const char *bytes, size_t length, size_t from, const char *needle,
                 bool ignoreCase) {
    const size_t needleLength = std::strlen(needle);
    if (length < needleLength)
        return length;
    for (size_t pos = from; pos + needleLength <= length; ++pos) {
        size_t i = 0;
        while (i < needleLength &&
               (ignoreCase ? asciiLower(bytes[pos + i]) == asciiLower(needle[i])
                           : bytes[pos + i] == needle[i]))
            ++i;
        if (i == needleLength)
            return pos;
    }
    return length;
}

bool isAtoiSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// bytes[from, to) read as atoi reads text: leading white space, one sign, then digits up to
// the first non-digit; 0 without digits.  Saturates at the 32-bit range instead of
// overflowing.
int64_t readAtoi(const char *bytes, size_t from, size_t to) {
    size_t pos = from;
    while (pos < to && isAtoiSpace(bytes[pos]))
        ++pos;
    bool negative = false;
    if (pos < to && (bytes[pos] == '+' || bytes[pos] == '-')) {
        negative = bytes[pos] == '-';
        ++pos;
    }
    const int64_t limit = negative ? -static_cast<int64_t>(INT32_MIN) : INT32_MAX;
    int64_t value = 0;
    for (; pos < to && bytes[pos] >= '0' && bytes[pos] <= '9'; ++pos) {
        value = value * 10 + (bytes[pos] - '0');
        if (value > limit)
            value = limit;
    }
    return negative ? -value : value;
}

} // namespace

bool isResponseComplete(const char *bytes, size_t count) {
    if (bytes == nullptr)
        return false;
    // The searches treat the bytes as a C string: they end at the first zero byte.
    const void *zero = std::memchr(bytes, 0, count);
    const size_t length = zero ? static_cast<size_t>(static_cast<const char *>(zero) - bytes) : count;
    static const char header[] = "Content-Length:";
    const size_t headerLength = sizeof header - 1;

    const size_t name = findBytes(bytes, length, 0, header, true);
    if (name == length)
        return false;
    const size_t lineEnd = findBytes(bytes, length, name, "\r\n", false);
    if (lineEnd == length)
        return false;
    const int64_t contentLength = readAtoi(bytes, name + headerLength, lineEnd);

    const size_t headerEnd = findBytes(bytes, length, 0, "\r\n\r\n", false);
    if (headerEnd == length)
        return false;
    return static_cast<int64_t>(count) >= static_cast<int64_t>(headerEnd) + 4 + contentLength;
}

} // namespace portlink
