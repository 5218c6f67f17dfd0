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

bool isBlank(char c) { return c == ' ' || c == '\t'; }

// The bytes as a C string sees them: their number up to the first zero byte.
size_t lengthUntilZero(const char *bytes, size_t count) {
    const void *zero = std::memchr(bytes, 0, count);
    return zero ? static_cast<size_t>(static_cast<const char *>(zero) - bytes) : count;
}

// Offset of the header end "\r\n\r\n" in the bytes up to the first zero byte; `count` when
// it has not arrived.
size_t headerEnd(const char *bytes, size_t count) {
    const size_t length = lengthUntilZero(bytes, count);
    const size_t end = findBytes(bytes, length, 0, "\r\n\r\n", false);
    return end == length ? count : end;
}

// How the body of an answer whose header is bytes[0, end) is framed.  Every
// "Transfer-Encoding:" field of the header counts, all of them read as one comma-separated
// list of codings (blanks around each ignored, empty elements skipped).  With any
// Transfer-Encoding, a Content-Length beside it does not frame the answer.
BodyFraming framingOf(const char *bytes, size_t end) {
    static const char name[] = "\r\ntransfer-encoding:";
    static const char chunked[] = "chunked";
    bool seen = false;
    size_t codings = 0;
    bool onlyChunked = true;
    for (size_t at = findBytes(bytes, end, 0, name, true); at < end;
         at = findBytes(bytes, end, at + 1, name, true)) {
        seen = true;
        size_t valueEnd = findBytes(bytes, end + 2, at + sizeof name - 1, "\r\n", false);
        if (valueEnd > end)
            valueEnd = end;
        for (size_t pos = at + sizeof name - 1; pos <= valueEnd;) {
            size_t comma = pos;
            while (comma < valueEnd && bytes[comma] != ',')
                ++comma;
            size_t first = pos;
            size_t last = comma;
            while (first < last && isBlank(bytes[first]))
                ++first;
            while (last > first && isBlank(bytes[last - 1]))
                --last;
            if (last > first) {
                ++codings;
                onlyChunked = onlyChunked && last - first == sizeof chunked - 1 &&
                              findBytes(bytes + first, last - first, 0, chunked, true) == 0;
            }
            pos = comma + 1;
        }
    }
    if (!seen)
        return BodyFraming::ContentLength;
    // Chunked alone is what we decode; chunked twice, or any other coding, we cannot read.
    return codings == 1 && onlyChunked ? BodyFraming::Chunked : BodyFraming::Unreadable;
}

enum class Chunks { Incomplete, Complete, Broken };

// A larger chunk size counts as broken framing: it is far beyond anything the exchange's
// buffer can hold, and the bound keeps the size from overflowing while it is read.
constexpr uint64_t kLargestChunk = 1u << 20;

int hexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    c = asciiLower(c);
    return (c >= 'a' && c <= 'f') ? c - 'a' + 10 : -1;
}

// Walks the chunked body body[0, count): size lines (hex digits, then blanks or a ";"
// extension, then CR LF), each chunk's data followed by CR LF, a last chunk of size 0, then
// trailer lines up to an empty line.  The data of the chunks, as far as it arrived, is
// appended to `data` when given.
Chunks walkChunks(const char *body, size_t count, std::string *data) {
    size_t pos = 0;
    for (;;) {
        const size_t lineEnd = findBytes(body, count, pos, "\r\n", false);
        uint64_t size = 0;
        size_t digits = 0;
        for (size_t i = pos; i < lineEnd && hexValue(body[i]) >= 0; ++i, ++digits) {
            size = size * 16 + static_cast<uint64_t>(hexValue(body[i]));
            if (size > kLargestChunk)
                return Chunks::Broken;
        }
        const size_t afterDigits = pos + digits;
        if (lineEnd == count) {
            // The size line has not ended yet: broken once what came can no longer be one.
            if (afterDigits == count)
                return Chunks::Incomplete;
            const char next = body[afterDigits];
            const bool mayGoOn =
                isBlank(next) || next == ';' || (next == '\r' && afterDigits + 1 == count);
            return digits > 0 && mayGoOn ? Chunks::Incomplete : Chunks::Broken;
        }
        if (digits == 0 ||
            (afterDigits < lineEnd && !isBlank(body[afterDigits]) && body[afterDigits] != ';'))
            return Chunks::Broken;
        pos = lineEnd + 2;
        if (size == 0)
            break;
        const size_t available = count - pos;
        if (available < size) {
            if (data)
                data->append(body + pos, available);
            return Chunks::Incomplete;
        }
        if (data)
            data->append(body + pos, static_cast<size_t>(size));
        pos += static_cast<size_t>(size);
        if (count - pos < 2)
            return (count > pos && body[pos] != '\r') ? Chunks::Broken : Chunks::Incomplete;
        if (body[pos] != '\r' || body[pos + 1] != '\n')
            return Chunks::Broken;
        pos += 2;
    }
    // Trailer lines, then the empty line that ends the answer.
    for (;;) {
        const size_t lineEnd = findBytes(body, count, pos, "\r\n", false);
        if (lineEnd == count)
            return Chunks::Incomplete;
        if (lineEnd == pos)
            return Chunks::Complete;
        pos = lineEnd + 2;
    }
}

} // namespace

BodyFraming bodyFraming(const char *bytes, size_t count) {
    if (bytes == nullptr)
        return BodyFraming::ContentLength;
    const size_t end = headerEnd(bytes, count);
    return end < count ? framingOf(bytes, end) : BodyFraming::ContentLength;
}

bool isResponseComplete(const char *bytes, size_t count) {
    if (bytes == nullptr)
        return false;
    const size_t end = headerEnd(bytes, count);
    if (end < count) {
        const BodyFraming framing = framingOf(bytes, end);
        if (framing == BodyFraming::Unreadable)
            return true; // no more bytes can make it readable
        if (framing == BodyFraming::Chunked) {
            const size_t body = end + 4;
            return walkChunks(bytes + body, count - body, nullptr) != Chunks::Incomplete;
        }
    }

    // The searches treat the bytes as a C string: they end at the first zero byte.
    const size_t length = lengthUntilZero(bytes, count);
    static const char header[] = "Content-Length:";
    const size_t headerLength = sizeof header - 1;

    const size_t name = findBytes(bytes, length, 0, header, true);
    if (name == length)
        return false;
    const size_t lineEnd = findBytes(bytes, length, name, "\r\n", false);
    if (lineEnd == length)
        return false;
    const int64_t contentLength = readDecimal(bytes + name + headerLength, bytes + lineEnd);

    if (end == count)
        return false;
    return static_cast<int64_t>(count) >= static_cast<int64_t>(end) + 4 + contentLength;
}

std::string decodeAnswer(const char *bytes, size_t count) {
    if (bytes == nullptr)
        return std::string();
    if (bodyFraming(bytes, count) != BodyFraming::Chunked)
        return std::string(bytes, count);
    const size_t body = headerEnd(bytes, count) + 4;
    std::string decoded(bytes, body);
    walkChunks(bytes + body, count - body, &decoded);
    return decoded;
}

} // namespace portlink
