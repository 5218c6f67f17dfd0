#pragma once
// Resolution of a URI reference against a base URI, as RFC 3986 section 5.2 does it.
#include <string>

namespace portlink {

// The target URI of `reference` resolved against the absolute URI `base`: the strict
// transform of RFC 3986 section 5.2.2 with its merge and remove_dot_segments.  The query is
// kept and the fragment dropped, since the result is only ever requested.  A network-path
// reference ("//host:port/path") names its own authority.  Where the target has an authority,
// an empty path and a query, the path is written as "/", the way HTTP requests such a target.
// An empty reference resolves to the base without its fragment.
std::wstring resolveReference(const std::wstring &base, const std::wstring &reference);

} // namespace portlink
