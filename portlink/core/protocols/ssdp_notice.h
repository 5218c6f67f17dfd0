#pragma once
// SSDP NOTIFY datagrams: what a device announces about itself on 239.255.255.250:1900.
#include <cstdint>
#include <string>

namespace portlink {

enum class NoticeKind { None, Alive, ByeBye };

struct SsdpNotice {
    NoticeKind kind = NoticeKind::None; // None: not a NOTIFY we act on
    bool hasBootId = false;             // a BOOTID.UPNP.ORG header with a number
    uint32_t bootId = 0;
    std::wstring deviceUuid;            // the uuid of the first USN header; empty without one
};

// Reads one datagram, already wide text.  A notice is a first line "NOTIFY * HTTP/1.1" and an
// NTS header of "ssdp:alive" or "ssdp:byebye"; header names are matched in any letter case,
// values as they stand (white space around them dropped).  BOOTID.UPNP.ORG counts only when
// it is all decimal digits and at most 2^31 - 1, as devices number their boots.  The device
// is the first USN header's, read by deviceUuidOfName with a type allowed to follow (as
// deviceUuidOf reads it), so that it compares equal to the UDN that the device's description
// lists: a router's other root devices (a media server, say) announce their own uuids.
SsdpNotice readSsdpNotice(const std::wstring &datagram);

// The BOOTID.UPNP.ORG of any SSDP datagram (a search answer too), read as above; false
// without a usable one.
bool readSsdpBootId(const std::wstring &datagram, uint32_t &bootId);

} // namespace portlink
