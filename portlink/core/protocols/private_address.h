#pragma once
#include <cstdint>
#include <string>

namespace portlink {

// True for addresses on a private LAN, and for an address that was never found (0):
// first octet 192 with second 168, 172 with second 16..31, first octet 0, or 10.
// `address` is in network order: the first octet is the byte stored first.
bool isPrivateAddress(uint32_t address);

// True for the shared address space of carrier-grade NAT, 100.64.0.0/10 (RFC 6598).
bool isSharedAddress(uint32_t address);

// True for an address that a host on the Internet can be reached at: none of the ranges for
// private networks, carrier-grade NAT, this network, loopback, link-local, the IETF's own
// protocol assignments (192.0.0.0/24), documentation, benchmarking, multicast and the reserved
// block with the limited broadcast address.
bool isGloballyRoutable(uint32_t address);

// The address (network order) in dotted decimal form, "192.168.77.20", as inet_ntoa writes it.
std::wstring dottedAddress(uint32_t address);

} // namespace portlink
