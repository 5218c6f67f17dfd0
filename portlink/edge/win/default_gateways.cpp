#include "win/default_gateways.h"

#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>

#include <algorithm>
#include <memory>

namespace portlink {

std::vector<uint32_t> defaultGateways() {
    std::vector<uint32_t> gateways;
    // The table can grow between the call that sizes it and the call that fills it.
    ULONG size = 0;
    std::unique_ptr<unsigned char[]> buffer;
    DWORD status = ERROR_INSUFFICIENT_BUFFER;
    for (int attempt = 0; attempt < 3 && status == ERROR_INSUFFICIENT_BUFFER; ++attempt) {
        buffer.reset(size > 0 ? new unsigned char[size] : nullptr);
        status = GetIpForwardTable(reinterpret_cast<MIB_IPFORWARDTABLE *>(buffer.get()), &size,
                                   FALSE);
    }
    if (status != NO_ERROR || buffer == nullptr)
        return gateways;
    const auto *table = reinterpret_cast<const MIB_IPFORWARDTABLE *>(buffer.get());
    for (DWORD i = 0; i < table->dwNumEntries; ++i) {
        const MIB_IPFORWARDROW &row = table->table[i];
        const uint32_t hop = row.dwForwardNextHop;
        if (row.dwForwardDest == 0 && row.dwForwardMask == 0 && hop != 0 && hop != INADDR_NONE &&
            std::find(gateways.begin(), gateways.end(), hop) == gateways.end())
            gateways.push_back(hop);
    }
    return gateways;
}

} // namespace portlink
