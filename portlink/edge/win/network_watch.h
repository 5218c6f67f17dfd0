#pragma once
// Windows' own word that a route or an address of this host changed.  Where the system sends
// none (Wine, for one), nothing happens, and the keeper's own looks at the network suffice.
#include <winsock2.h>
#include <windows.h>

namespace portlink {

class NetworkWatch {
  public:
    // Signals `wake` (which the owner keeps open for longer than this object) on every
    // change of an IPv4 route or unicast address.
    explicit NetworkWatch(HANDLE wake);
    // Ends both notifications; a callback in progress has finished when it returns.
    ~NetworkWatch();
    NetworkWatch(const NetworkWatch &) = delete;
    NetworkWatch &operator=(const NetworkWatch &) = delete;

  private:
    HANDLE routes_ = nullptr;
    HANDLE addresses_ = nullptr;
};

} // namespace portlink
