#pragma once
// Literal, case-sensitive text operations shared by the protocol code: the status test of a
// response, the inner text of an element, and the parts of a URL that a request goes to.
// No state; any thread.
#include <cstddef>
#include <cstdint>
#include <string>

namespace portlink {

// --- scanning helpers, shared by these operations and the rest of the protocol code --------

// CR and LF, the two characters that end a line.
inline bool isLineEnd(wchar_t c) { return c == L'\r' || c == L'\n'; }

// One line of a text: [start, end).
struct LineSpan {
    size_t start = 0;
    size_t end = 0;
};

// The first line of `text` at or after `from`, lines split at CR and LF with a run of them
// counting as one separator (so empty lines never show).  False when nothing but line ends
// remains.
bool findLine(const std::wstring &text, size_t from, LineSpan &line);

// Reads [pos, end) as atoi and wcstol with base 10 read a decimal number: leading white space
// and one sign accepted, reading stops at the first non-digit, 0 without digits.  Saturates at
// the 32-bit range (as wcstol does where long has 32 bits) instead of overflowing.
template <typename Char> int32_t readDecimal(const Char *pos, const Char *end) {
    while (pos < end && (*pos == ' ' || (*pos >= '\t' && *pos <= '\r')))
        ++pos;
    bool negative = false;
    if (pos < end && (*pos == '+' || *pos == '-')) {
        negative = *pos == '-';
        ++pos;
    }
    const int64_t limit = negative ? -static_cast<int64_t>(INT32_MIN) : INT32_MAX;
    int64_t value = 0;
    for (; pos < end && *pos >= '0' && *pos <= '9'; ++pos) {
        value = value * 10 + (*pos - '0');
        if (value > limit)
            value = limit;
    }
    return static_cast<int32_t>(negative ? -value : value);
}

// --- the operations ----------------------------------------------------------------------

// True when the second space-separated word of the response's first line (lines split at
// CR/LF, runs counting as one, leading ones skipped) begins with '2'.  `rest` receives the
// text after the single character that ends the first line (empty when there is none; the
// whole response when it holds nothing but line ends).
bool checkHttpStatus(const std::wstring &response, std::wstring &rest);

// Inner text of the first <tag>...</tag> in text, untrimmed; empty when either tag is missing.
std::wstring getElementText(const std::wstring &tag, const std::wstring &text);

// Splits a URL with a scheme and an authority ("scheme://authority/path?query#fragment", in
// the components that splitUriReference gives).  Returns the host as splitAuthority takes it;
// `authority` receives the authority as written, `path` the path with "?" and the query when
// there is one (the fragment never), and `port` the port of splitAuthority.  Without a scheme
// or without an authority all are empty and the port is 0.
std::wstring splitUrl(const std::wstring &url, std::wstring &authority, std::wstring &path,
                      int32_t &port);

// --- URLs that requests go to --------------------------------------------------------------

// Where a request goes and what its request line and HOST header carry, as splitUrl gives
// them, except that the path is never empty.
struct RequestTarget {
    std::wstring host;
    std::wstring authority;
    std::wstring path;
    int32_t port = 0;
};

// splitUrl for a URL that a request of ours is about to be sent to, with "/" put before a
// path that does not begin with one ("http://gw:5000" and "http://gw?x" request "/" and
// "/?x").  False when the URL names no host, or when the authority or the path (with the
// query), the pieces that the request carries, holds a blank or a control character (below
// 0x20, or DEL): such text from the network is never written into a request.  The fragment is
// never sent, so it is not examined.
bool splitRequestUrl(const std::wstring &url, RequestTarget &target);

// The host that a request to `url` would go to; empty when splitRequestUrl refuses the URL.
std::wstring requestHost(const std::wstring &url);

// Whether a request to `url` would go to `address` (network order) itself: its host is that
// address in dotted decimal, exactly; a name or any other spelling of it does not count.
bool urlLiesOn(const std::wstring &url, uint32_t address);

// `text` without the XML white space (space, tab, CR, LF) at either end.
std::wstring trimXmlWhiteSpace(const std::wstring &text);

} // namespace portlink
