#pragma once
// IPv6 addresses as 16 bytes in network order, their text in the canonical form of RFC 5952,
// and a strict reader of IPv6 text (RFC 4291 §2.2) for answers.  No state; any thread.
#include <array>
#include <cstdint>
#include <string>

namespace portlink {

using Ipv6Address = std::array<uint8_t, 16>;

// The RFC 5952 text: lowercase hex groups without leading zeros; the longest run of two or
// more zero groups (the first of equally long runs) written as "::", a lone zero group never;
// an IPv4-mapped address (::ffff:0:0/96) as "::ffff:" and the dotted IPv4 tail (§5).
std::wstring formatIpv6(const Ipv6Address &address);

// Reads IPv6 text: eight groups of one to four hex digits (either case) split by ":", or
// fewer with one "::" standing for one or more zero groups, the last two groups optionally
// written as a dotted IPv4 address (four decimal octets, 0-255, no leading zeros).  False,
// with `address` untouched, for anything else: blanks, a zone id, brackets, a prefix length.
bool parseIpv6(const std::wstring &text, Ipv6Address &address);

// 2000::/3, the global unicast block.
bool isGlobalUnicast(const Ipv6Address &address);
// fe80::/10.
bool isLinkLocal(const Ipv6Address &address);

} // namespace portlink
