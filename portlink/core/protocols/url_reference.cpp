#include "url_reference.h"

#include "text_ops.h"

namespace portlink {

namespace {

bool isAsciiLetter(wchar_t c) { return (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z'); }

bool isSchemeCharacter(wchar_t c) {
    return isAsciiLetter(c) || (c >= L'0' && c <= L'9') || c == L'+' || c == L'-' || c == L'.';
}

// The length of the scheme that `text` begins with (a letter, then scheme characters, then
// ":"), or 0 when it begins with none.
size_t schemeLength(const std::wstring &text) {
    if (text.empty() || !isAsciiLetter(text[0]))
        return 0;
    size_t pos = 1;
    while (pos < text.size() && isSchemeCharacter(text[pos]))
        ++pos;
    return pos < text.size() && text[pos] == L':' ? pos : 0;
}

// Removes the last segment, and its "/" before it, from `output` (RFC 3986 5.2.4, step 2C).
void dropLastSegment(std::wstring &output) {
    const size_t slash = output.rfind(L'/');
    output.erase(slash == std::wstring::npos ? 0 : slash);
}

// RFC 3986 section 5.2.4.
std::wstring removeDotSegments(std::wstring input) {
    std::wstring output;
    while (!input.empty()) {
        if (input.compare(0, 3, L"../") == 0) {
            input.erase(0, 3);
        } else if (input.compare(0, 2, L"./") == 0) {
            input.erase(0, 2);
        } else if (input.compare(0, 3, L"/./") == 0) {
            input.erase(0, 2);
        } else if (input == L"/.") {
            input = L"/";
        } else if (input.compare(0, 4, L"/../") == 0) {
            input.erase(0, 3);
            dropLastSegment(output);
        } else if (input == L"/..") {
            input = L"/";
            dropLastSegment(output);
        } else if (input == L"." || input == L"..") {
            input.clear();
        } else {
            // The first segment, with its leading "/" if any, up to the next "/".
            const size_t end = input.find(L'/', 1);
            const size_t length = end == std::wstring::npos ? input.size() : end;
            output.append(input, 0, length);
            input.erase(0, length);
        }
    }
    return output;
}

// RFC 3986 section 5.2.3.
std::wstring merge(const UriComponents &base, const std::wstring &path) {
    if (base.hasAuthority && base.path.empty())
        return L"/" + path;
    const size_t slash = base.path.rfind(L'/');
    return slash == std::wstring::npos ? path : base.path.substr(0, slash + 1) + path;
}

// RFC 3986 section 5.3, without the fragment.
std::wstring recompose(const UriComponents &parts) {
    std::wstring uri;
    if (parts.hasScheme)
        uri += parts.scheme + L":";
    if (parts.hasAuthority)
        uri += L"//" + parts.authority;
    uri += parts.hasAuthority && parts.path.empty() && parts.hasQuery ? L"/" : parts.path;
    if (parts.hasQuery)
        uri += L"?" + parts.query;
    return uri;
}

} // namespace

UriComponents splitUriReference(const std::wstring &text) {
    UriComponents parts;
    // The fragment goes first: nothing after "#" belongs to the other components.
    const size_t hash = text.find(L'#');
    if (hash != std::wstring::npos) {
        parts.hasFragment = true;
        parts.fragment = text.substr(hash + 1);
    }
    const std::wstring uri = text.substr(0, hash);
    size_t pos = schemeLength(uri);
    if (pos > 0) {
        parts.hasScheme = true;
        parts.scheme = uri.substr(0, pos);
        ++pos;
    }
    if (uri.compare(pos, 2, L"//") == 0) {
        const size_t end = uri.find_first_of(L"/?", pos + 2);
        const size_t stop = end == std::wstring::npos ? uri.size() : end;
        parts.hasAuthority = true;
        parts.authority = uri.substr(pos + 2, stop - pos - 2);
        pos = stop;
    }
    const size_t query = uri.find(L'?', pos);
    parts.path = uri.substr(pos, query == std::wstring::npos ? std::wstring::npos : query - pos);
    if (query != std::wstring::npos) {
        parts.hasQuery = true;
        parts.query = uri.substr(query + 1);
    }
    return parts;
}

UriAuthority splitAuthority(const std::wstring &authority) {
    UriAuthority server;
    server.text = authority;
    const size_t at = authority.rfind(L'@');
    const size_t hostStart = at == std::wstring::npos ? 0 : at + 1;
    // A ":" inside an IP literal ("[fe80::1]") separates no port.
    size_t searchFrom = hostStart;
    if (authority.compare(hostStart, 1, L"[") == 0) {
        const size_t close = authority.find(L']', hostStart);
        if (close != std::wstring::npos)
            searchFrom = close;
    }
    const size_t colon = authority.find(L':', searchFrom);
    server.host = authority.substr(hostStart, colon == std::wstring::npos ? std::wstring::npos
                                                                          : colon - hostStart);
    if (colon != std::wstring::npos && colon + 1 < authority.size()) {
        const wchar_t *digits = authority.data();
        server.port = readDecimal(digits + colon + 1, digits + authority.size());
    }
    return server;
}

bool isHttpUrl(const std::wstring &url) {
    const UriComponents parts = splitUriReference(url);
    if (!parts.hasScheme || parts.scheme.size() != 4 || !parts.hasAuthority)
        return false;
    static const wchar_t http[] = L"http";
    for (size_t i = 0; i < parts.scheme.size(); ++i) {
        const wchar_t c = parts.scheme[i];
        if ((c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c - L'A' + L'a') : c) != http[i])
            return false;
    }
    return !splitAuthority(parts.authority).host.empty();
}

std::wstring resolveReference(const std::wstring &base, const std::wstring &reference) {
    const UriComponents ref = splitUriReference(reference);
    if (ref.hasScheme) {
        UriComponents target = ref;
        target.path = removeDotSegments(ref.path);
        return recompose(target);
    }
    const UriComponents from = splitUriReference(base);
    UriComponents target;
    target.hasScheme = from.hasScheme;
    target.scheme = from.scheme;
    if (ref.hasAuthority) {
        target.hasAuthority = true;
        target.authority = ref.authority;
        target.path = removeDotSegments(ref.path);
        target.hasQuery = ref.hasQuery;
        target.query = ref.query;
        return recompose(target);
    }
    target.hasAuthority = from.hasAuthority;
    target.authority = from.authority;
    if (ref.path.empty()) {
        target.path = from.path;
        target.hasQuery = ref.hasQuery || from.hasQuery;
        target.query = ref.hasQuery ? ref.query : from.query;
    } else {
        target.path = removeDotSegments(ref.path[0] == L'/' ? ref.path : merge(from, ref.path));
        target.hasQuery = ref.hasQuery;
        target.query = ref.query;
    }
    return recompose(target);
}

} // namespace portlink
