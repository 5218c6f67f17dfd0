#pragma once
#include <cstdint>
#include <string>

namespace portlink {

// True for addresses on a private LAN, and for an address that was never found (0):
// first octet 192 with second 168, 172 with second 16..31, first octet 0, or 10.
// `address` is in network order: the first octet is the byte stored first.
bool isPrivateAddress(uint32_t address);

// The address (network order) in dotted decimal form, "192.168.77.20", as inet_ntoa writes it.
std::wstring dottedAddress(uint32_t address);

} // namespace portlink
