#pragma once
// The gateway search: SSDP over IPv4, with the PCP and NAT-PMP probes beside it.
#include <winsock2.h>
#include <windows.h>

#include <string>

#include "gateway_types.h"

namespace portlink {

// Sends the wide text, converted to the thread's ANSI code page, as one datagram to
// 239.255.255.250:1900.  Returns what sendto returns.
int sendSearchDatagram(SOCKET socket, const std::wstring &text);

// Searches for the gateway for at most 15 s, then reads its description.  Writes nothing:
// what it found is the caller's to publish.
FoundGateway searchGateway();

} // namespace portlink
