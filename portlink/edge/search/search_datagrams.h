#pragma once
// The datagrams of an SSDP search over IPv4, shared by the gateway search (to the group) and
// the search of the router beyond the gateway (to that router alone): sending one search, and
// reading one answer.
#include <winsock2.h>

#include <cstdint>
#include <string>

#include "ssdp.h"
#include "win/datagram.h"

namespace portlink {

// A usable answer as it was read, with what the searcher takes from it.
struct UsableSearchAnswer {
    SearchAnswer answer;
    bool hasBootId = false;
    uint32_t bootId = 0;
    std::wstring deviceUuid;
    uint32_t sender = 0; // network order
};

// Sends the wide text, converted to the thread's ANSI code page, as one datagram to
// address:port (network order, host order).  Returns what sendto returns.
int sendSearchDatagram(SOCKET socket, const std::wstring &text, uint32_t address, uint16_t port);

// Reads one datagram of a search: true, with `usable` filled, when it is a usable answer
// (examineSearchAnswer against its sender: a passing status, one of the search targets, a
// LOCATION on the sender's own address).  Empty datagrams and those of another family are
// never usable.
bool readUsableAnswer(const Datagram &datagram, UsableSearchAnswer &usable);

} // namespace portlink
