#include "url_reference.h"

namespace portlink {

namespace {

// The five components of a URI reference (RFC 3986 appendix B); each of the optional ones
// records whether it was there at all, since an empty one differs from a missing one.
struct Components {
    bool hasScheme = false;
    std::wstring scheme;
    bool hasAuthority = false;
    std::wstring authority;
    std::wstring path;
    bool hasQuery = false;
    std::wstring query;
};

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

Components parse(const std::wstring &text) {
    Components parts;
    // The fragment goes first: nothing after "#" belongs to the other components.
    const std::wstring uri = text.substr(0, text.find(L'#'));
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
std::wstring merge(const Components &base, const std::wstring &path) {
    if (base.hasAuthority && base.path.empty())
        return L"/" + path;
    const size_t slash = base.path.rfind(L'/');
    return slash == std::wstring::npos ? path : base.path.substr(0, slash + 1) + path;
}

// RFC 3986 section 5.3, without the fragment.
std::wstring recompose(const Components &parts) {
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

std::wstring resolveReference(const std::wstring &base, const std::wstring &reference) {
    const Components ref = parse(reference);
    if (ref.hasScheme) {
        Components target = ref;
        target.path = removeDotSegments(ref.path);
        return recompose(target);
    }
    const Components from = parse(base);
    Components target;
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
