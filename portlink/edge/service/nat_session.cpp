#include "service/nat_session.h"

#include <winsock2.h>

#include <cstdio>
#include <cstring>
#include <new>

#include "win/ansi_text.h"
#include "win/srw_lock.h"

namespace portlink {

// The session is a static object of this library, so the C runtime builds it from the
// library's entry point at load and destroys it from there at unload: WSAStartup and WSACleanup
// run under the loader lock.  That is where calls which may load other libraries are best
// avoided, but it is kept: ws2_32 is a static import and so is initialised before this
// library's entry runs; the socket layer must be started before the runtime can call any
// entry point and must stay started for both threads until unload; and starting it lazily
// would need a once-only guard shared by the two threads.  The unload is not always the
// runtime's: when the runtime lets go of the library during a search, the discovery thread's
// FreeLibraryAndExitThread drops the last reference, and WSACleanup then runs on that thread,
// after it has closed its own sockets.
NatSession::NatSession()
    : searchEnded_(false), searchStarted_(0), localAddress_(0), socketsStarted_(false) {
    WSADATA data;
    socketsStarted_ = WSAStartup(MAKEWORD(2, 2), &data) == 0;
    if (!socketsStarted_) {
        std::fputs("WSAStartup() failed", stdout);
        std::fflush(stdout);
    }
}

NatSession::~NatSession() {
    if (socketsStarted_)
        WSACleanup();
    // The text fields are released by their destructors, in reverse declaration order.
}

ControlPoint NatSession::controlPoint() const {
    SharedLock guard(textLock_);
    return {controlUrl_, serviceType_};
}

void NatSession::publishGateway(ControlPoint upnp, PortControlGateway portControl) {
    ExclusiveLock guard(textLock_);
    controlUrl_.swap(upnp.controlUrl);
    if (!controlUrl_.empty())
        serviceType_.swap(upnp.serviceType);
    portControl_ = controlUrl_.empty() ? portControl : PortControlGateway();
}

bool NatSession::foundGateway() const {
    SharedLock guard(textLock_);
    return !controlUrl_.empty() || portControl_.found;
}

void NatSession::lookUpLocalAddress() {
    localAddressText_.clear();
    localAddress_ = 0;

    char hostName[256];
    if (gethostname(hostName, sizeof hostName) != 0)
        return;
    const hostent *host = gethostbyname(hostName);
    if (host == nullptr || host->h_length != 4 || host->h_addr_list == nullptr ||
        host->h_addr_list[0] == nullptr)
        return;

    in_addr first;
    std::memcpy(&first, host->h_addr_list[0], sizeof first);
    const char *dotted = inet_ntoa(first);
    if (dotted == nullptr)
        return;
    try {
        localAddressText_ = widenAnsi(dotted, std::strlen(dotted));
    } catch (const std::bad_alloc &) {
        localAddressText_.clear();
        return;
    }
    std::memcpy(&localAddress_, &first, sizeof localAddress_);
}

std::wstring NatSession::getLocalAddressText() {
    if (localAddressText_.empty())
        lookUpLocalAddress();
    return localAddressText_;
}

uint32_t NatSession::getLocalAddress() {
    if (localAddress_ == 0)
        lookUpLocalAddress();
    return localAddress_;
}

static NatSession theSession;

NatSession &session() { return theSession; }

} // namespace portlink
