#pragma once
// A strict reader of dotted-decimal IPv4 text, for addresses that answers name.  No state; any
// thread.
#include <cstdint>

namespace portlink {

// Reads [begin, end) as a dotted IPv4 address: exactly four decimal parts of 0-255 split by
// single dots, each without a leading zero ("0" itself is fine), and nothing else: no blanks,
// no sign, no other base.  On success the four bytes go to `octets` in network order (the
// first part first); on failure `octets` is left untouched.
bool parseDottedIpv4(const wchar_t *begin, const wchar_t *end, uint8_t *octets);

} // namespace portlink
