#include "text_ops.h"

#include <cstdint>

#include "private_address.h"
#include "url_reference.h"

namespace portlink {

namespace {

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

} // namespace

bool findLine(const std::wstring &text, size_t from, LineSpan &line) {
    size_t pos = from;
    while (pos < text.size() && isLineEnd(text[pos]))
        ++pos;
    if (pos >= text.size())
        return false;
    line.start = pos;
    while (pos < text.size() && !isLineEnd(text[pos]))
        ++pos;
    line.end = pos;
    return true;
}

bool checkHttpStatus(const std::wstring &response, std::wstring &rest) {
    LineSpan first;
    if (!findLine(response, 0, first)) {
        // Empty, or nothing but line ends: no first line at all.
        rest = response;
        return false;
    }
    const std::wstring firstLine = response.substr(first.start, first.end - first.start);
    // The rest begins just after the one character that ends the first line, so after
    // CR LF it begins with the LF.
    if (first.end < response.size())
        rest = response.substr(first.end + 1);
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
    const UriComponents parts = splitUriReference(url);
    if (!parts.hasScheme || !parts.hasAuthority) {
        authority.clear();
        path.clear();
        port = 0;
        return std::wstring();
    }
    const UriAuthority server = splitAuthority(parts.authority);
    authority = server.text;
    path = parts.hasQuery ? parts.path + L"?" + parts.query : parts.path;
    port = server.port;
    return server.host;
}

namespace {

bool holdsBlankOrControl(const std::wstring &text) {
    for (const wchar_t c : text) {
        if (c <= L' ' || c == 0x7F)
            return true;
    }
    return false;
}

bool isXmlWhiteSpace(wchar_t c) { return c == L' ' || c == L'\t' || isLineEnd(c); }

} // namespace

bool splitRequestUrl(const std::wstring &url, RequestTarget &target) {
    target.host = splitUrl(url, target.authority, target.path, target.port);
    // After an authority the path is empty or begins with "/"; an empty one is requested as
    // "/", and the request line never goes without a target.
    if (target.path.empty() || target.path[0] != L'/')
        target.path.insert(0, L"/");
    return !target.host.empty() && !holdsBlankOrControl(target.authority) &&
           !holdsBlankOrControl(target.path);
}

std::wstring requestHost(const std::wstring &url) {
    RequestTarget target;
    return splitRequestUrl(url, target) ? target.host : std::wstring();
}

bool urlLiesOn(const std::wstring &url, uint32_t address) {
    const std::wstring host = requestHost(url);
    return address != 0 && !host.empty() && host == dottedAddress(address);
}

std::wstring trimXmlWhiteSpace(const std::wstring &text) {
    size_t first = 0;
    size_t last = text.size();
    while (first < last && isXmlWhiteSpace(text[first]))
        ++first;
    while (last > first && isXmlWhiteSpace(text[last - 1]))
        --last;
    return text.substr(first, last - first);
}

} // namespace portlink
