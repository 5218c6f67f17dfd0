#pragma once
#include <cstdint>

namespace portlink {

// True for addresses on a private LAN, and for an address that was never found (0):
// first octet 192 with second 168, 172 with second 16..31, first octet 0, or 10.
// `address` is in network order: the first octet is the byte stored first.
bool isPrivateAddress(uint32_t address);

// The address a.b.c.d in network order, as it would be stored from an in_addr.
uint32_t addressFromOctets(uint8_t a, uint8_t b, uint8_t c, uint8_t d);

} // namespace portlink
