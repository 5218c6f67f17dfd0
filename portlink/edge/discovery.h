#pragma once
// Gateway discovery by SSDP, run once per process on its own thread.
#include <winsock2.h>
#include <windows.h>

#include <string>

namespace portlink {

// Sends the wide text, converted to the thread's ANSI code page, as one datagram to
// 239.255.255.250:1900.  Returns what sendto returns.
int sendSearchDatagram(SOCKET socket, const std::wstring &text);

// Searches for the gateway for at most 15 s, then reads its description.  True when a
// control URL was recorded.
bool discoverGateway();

// Starts the discovery thread (which runs the search at most once per process).  False only
// when the thread could not be started.
bool startSearchThread();

// The discovery thread.  `module` is a reference to this library taken by the starter; the
// thread frees it as it exits, so the code it runs stays loaded until then.
DWORD WINAPI searchThreadProc(LPVOID module);

} // namespace portlink
