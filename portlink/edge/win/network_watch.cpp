#include "win/network_watch.h"

#include <ws2tcpip.h>
#include <iphlpapi.h>
#include <netioapi.h>

namespace portlink {

namespace {

void WINAPI routeChanged(PVOID wake, PMIB_IPFORWARD_ROW2, MIB_NOTIFICATION_TYPE) {
    SetEvent(static_cast<HANDLE>(wake));
}

void WINAPI addressChanged(PVOID wake, PMIB_UNICASTIPADDRESS_ROW, MIB_NOTIFICATION_TYPE) {
    SetEvent(static_cast<HANDLE>(wake));
}

} // namespace

NetworkWatch::NetworkWatch(HANDLE wake) {
    if (NotifyRouteChange2(AF_INET, routeChanged, wake, FALSE, &routes_) != NO_ERROR)
        routes_ = nullptr;
    if (NotifyUnicastIpAddressChange(AF_INET, addressChanged, wake, FALSE, &addresses_) !=
        NO_ERROR)
        addresses_ = nullptr;
}

NetworkWatch::~NetworkWatch() {
    if (routes_ != nullptr)
        CancelMibChangeNotify2(routes_);
    if (addresses_ != nullptr)
        CancelMibChangeNotify2(addresses_);
}

} // namespace portlink
