#include "text_ops.h"

#include <cstdint>

namespace portlink {

namespace {

bool isLineEnd(wchar_t c) { return c == L'\r' || c == L'\n'; }

// The second piece of `text` split at `separator`, a run of separators counting as one and
// leading ones skipped (the way wcstok splits).  `first` receives the first piece.
void firstTwoPieces(const std::wstring &text, wchar_t separator, std::wstring &first,
                    std::wstring &second) {
    first.clear();
    second.clear();
    size_t pos = 0;
    std::wstring *pieces[2] = {&first, &second};
    for (std::wstring *piece : pieces) {
        while (pos < text.size() && text[pos] == separator)
            ++pos;
        const size_t start = pos;
        while (pos < text.size() && text[pos] != separator)
            ++pos;
        piece->assign(text, start, pos - start);
    }
}

bool isWcstolSpace(wchar_t c) {
    return c == L' ' || c == L'\t' || c == L'\n' || c == L'\v' || c == L'\f' || c == L'\r';
}

// Reads a decimal number the way wcstol with base 10 does (leading white space and one sign
// accepted, reading stops at the first non-digit, 0 without digits), saturating at the 32-bit
// range as wcstol does where long has 32 bits.
int32_t readDecimal(const std::wstring &text) {
    size_t pos = 0;
    while (pos < text.size() && isWcstolSpace(text[pos]))
        ++pos;
    bool negative = false;
    if (pos < text.size() && (text[pos] == L'+' || text[pos] == L'-')) {
        negative = text[pos] == L'-';
        ++pos;
    }
    const int64_t limit = negative ? -static_cast<int64_t>(INT32_MIN) : INT32_MAX;
    int64_t value = 0;
    for (; pos < text.size() && text[pos] >= L'0' && text[pos] <= L'9'; ++pos) {
        value = value * 10 + (text[pos] - L'0');
        if (value > limit)
            value = limit;
    }
    return static_cast<int32_t>(negative ? -value : value);
}

} // namespace

bool checkHttpStatus(const std::wstring &response, std::wstring &rest) {
    size_t start = 0;
    while (start < response.size() && isLineEnd(response[start]))
        ++start;
    if (start == response.size()) {
        // Empty, or nothing but line ends: no first line at all.
        rest = response;
        return false;
    }
    size_t end = start;
    while (end < response.size() && !isLineEnd(response[end]))
        ++end;
    const std::wstring firstLine = response.substr(start, end - start);
    // The rest begins just after the one character that ends the first line, so after
    // CR LF it begins with the LF.
    if (end < response.size())
        rest = response.substr(end + 1);
    else
        rest.clear();

    std::wstring protocol, status;
    firstTwoPieces(firstLine, L' ', protocol, status);
    return !status.empty() && status[0] == L'2';
}

std::wstring getElementText(const std::wstring &tag, const std::wstring &text) {
    const std::wstring opening = L"<" + tag + L">";
    const std::wstring closing = L"</" + tag + L">";
    const size_t open = text.find(opening);
    if (open == std::wstring::npos)
        return std::wstring();
    const size_t close = text.find(closing, open);
    const size_t inner = open + opening.size();
    // A closing tag that overlaps the opening one (possible only for tags holding '<')
    // encloses nothing.
    if (close == std::wstring::npos || close < inner)
        return std::wstring();
    return text.substr(inner, close - inner);
}

std::wstring splitUrl(const std::wstring &url, std::wstring &authority, std::wstring &path,
                      int32_t &port) {
    authority.clear();
    path.clear();
    port = 0;
    const size_t scheme = url.find(L"://");
    if (scheme == std::wstring::npos)
        return std::wstring();

    const std::wstring remainder = url.substr(scheme + 3);
    const size_t slash = remainder.find(L'/');
    if (slash != std::wstring::npos) {
        authority = remainder.substr(0, slash);
        path = remainder.substr(slash);
    } else {
        authority = remainder;
    }

    std::wstring host, portText;
    firstTwoPieces(authority, L':', host, portText);
    if (host.empty())
        portText.clear();
    port = portText.empty() ? 80 : readDecimal(portText);
    return host;
}

} // namespace portlink
