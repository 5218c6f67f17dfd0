#pragma once
// The components of a URI reference as RFC 3986 splits them, the server that its authority
// names, and the resolution of a reference against a base URI (RFC 3986 section 5.2).  No
// state; any thread.
#include <cstdint>
#include <string>

namespace portlink {

// The five components of a URI reference (RFC 3986 appendix B).  Each optional one records
// whether it was there at all, since an empty one differs from a missing one: "http:///x" has
// an empty authority, "http:/x" none.
struct UriComponents {
    bool hasScheme = false;
    std::wstring scheme;
    bool hasAuthority = false;
    std::wstring authority;
    std::wstring path;
    bool hasQuery = false;
    std::wstring query;
    bool hasFragment = false;
    std::wstring fragment;
};

// Splits `text` into its components, the way the regular expression of RFC 3986 appendix B
// does, except that a scheme must begin with a letter and hold only scheme characters.  Any
// text splits; the components, with their delimiters, give `text` back.
UriComponents splitUriReference(const std::wstring &text);

// An authority component and the server it names.
struct UriAuthority {
    std::wstring text; // as written, userinfo and port included
    std::wstring host; // the text without "userinfo@" and ":port"; an IP literal keeps its []
    int32_t port = 80; // 80 when no port or an empty one is named, else as readDecimal reads it
};

// The host and port that the authority component `authority` names.  The userinfo ends at the
// last "@"; the port begins at the first ":" after the host, and the host of an IP literal
// runs at least to its "]".
UriAuthority splitAuthority(const std::wstring &authority);

// True when `url` is an http URL that names a host: the scheme "http" in any letter case (RFC
// 3986 section 3.1) and an authority whose host is not empty.
bool isHttpUrl(const std::wstring &url);

// The target URI of `reference` resolved against the absolute URI `base`: the strict
// transform of RFC 3986 section 5.2.2 with its merge and remove_dot_segments.  The query is
// kept and the fragment dropped, since the result is only ever requested.  A network-path
// reference ("//host:port/path") names its own authority.  Where the target has an authority,
// an empty path and a query, the path is written as "/", the way HTTP requests such a target.
// An empty reference resolves to the base without its fragment.
std::wstring resolveReference(const std::wstring &base, const std::wstring &reference);

} // namespace portlink
