#pragma once
// Gateway discovery by SSDP, run once per process on its own thread.
#include <winsock2.h>
#include <windows.h>

#include <string>
#include <vector>

#include "nat_session.h"

namespace portlink {

// Sends the wide text, converted to the thread's ANSI code page, as one datagram to
// 239.255.255.250:1900.  Returns what sendto returns.
int sendSearchDatagram(SOCKET socket, const std::wstring &text);

// What one search found: a UPnP connection service (its control URL not empty), or else,
// when `portControl`, a gateway that maps through PCP or NAT-PMP, with the epoch it answered.
struct FoundGateway {
    ControlPoint upnp;
    bool portControl = false;
    MappingWay way = MappingWay::Upnp;
    uint32_t portControlAddress = 0;
    uint32_t epoch = 0;
    bool hasBootId = false; // the UPnP answer's BOOTID.UPNP.ORG
    uint32_t bootId = 0;
    std::wstring deviceUuid; // the UPnP answer's device, which an IPv6 answer must name too
    ControlPoint firewall;   // the description's IPv6 firewall service, where it has one
    std::vector<std::wstring> deviceUdns; // the devices the description lists (deviceUdnsOf)
};

// Searches for the gateway for at most 15 s, then reads its description.  Writes nothing
// but the description URL of the session.
FoundGateway searchGateway();

// Makes a found gateway the one that isSearchSucces, the mapping functions and the keeper go
// by.  False, with nothing changed, when the search found none.
bool publishGateway(const FoundGateway &found);

// searchGateway, then publishGateway.
bool discoverGateway();

// Starts the discovery thread (which runs the search at most once per process).  False only
// when the thread could not be started.
bool startSearchThread();

} // namespace portlink
