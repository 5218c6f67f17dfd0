#pragma once
// Device uuids: the device part of a USN header and of a description's UDN element, read into
// one form for both, so that the device a datagram speaks for can be compared with the devices
// that a description lists.  No state; any thread.
#include <cstddef>
#include <string>

namespace portlink {

// The longest uuid text read; the usual form has 36 characters.
constexpr size_t kMaxDeviceUuidLength = 128;

// The uuid of a device name "uuid:<uuid>" ("uuid:" in any letter case, XML white space
// around the whole name dropped): the text after "uuid:", as written.  When `typeMayFollow`,
// as in a USN ("uuid:<uuid>::<type>"), the uuid ends at the first "::" after "uuid:"; otherwise
// a "::" makes the name malformed.  Empty for any other name and for a malformed uuid: empty,
// longer than kMaxDeviceUuidLength, or holding anything but visible ASCII (no blank, no
// control character).
std::wstring deviceUuidOfName(const std::wstring &name, bool typeMayFollow);

} // namespace portlink
