#include "http_framing.h"

#include <cstdint>
#include <cstring>

#include "text_ops.h"

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
    const int64_t contentLength = readDecimal(bytes + name + headerLength, bytes + lineEnd);

    const size_t headerEnd = findBytes(bytes, length, 0, "\r\n\r\n", false);
    if (headerEnd == length)
        return false;
    return static_cast<int64_t>(count) >= static_cast<int64_t>(headerEnd) + 4 + contentLength;
}

} // namespace portlink
