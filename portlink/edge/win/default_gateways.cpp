#include "win/default_gateways.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <iphlpapi.h>

#include <algorithm>
#include <memory>

#include "search_choice.h"

namespace portlink {

namespace {

struct MibTableRelease {
    void operator()(void *table) const { FreeMibTable(table); }
};

template <typename Table> using MibTable = std::unique_ptr<Table, MibTableRelease>;

// The interface metric of every IPv4 interface, by its index.
std::vector<std::pair<uint32_t, uint32_t>> interfaceMetrics() {
    std::vector<std::pair<uint32_t, uint32_t>> metrics;
    MIB_IPINTERFACE_TABLE *raw = nullptr;
    const DWORD status = GetIpInterfaceTable(AF_INET, &raw);
    const MibTable<MIB_IPINTERFACE_TABLE> table(raw);
    if (status != NO_ERROR || table == nullptr)
        return metrics;
    for (ULONG i = 0; i < table->NumEntries; ++i)
        metrics.emplace_back(table->Table[i].InterfaceIndex, table->Table[i].Metric);
    return metrics;
}

} // namespace

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

std::vector<uint32_t> gatewayAdapterAddresses() {
    MIB_IPFORWARD_TABLE2 *rawRoutes = nullptr;
    const DWORD routesStatus = GetIpForwardTable2(AF_INET, &rawRoutes);
    const MibTable<MIB_IPFORWARD_TABLE2> routeTable(rawRoutes);
    if (routesStatus != NO_ERROR || routeTable == nullptr)
        return {};
    // An interface whose metric cannot be read counts as metric 0: its route metric decides.
    const std::vector<std::pair<uint32_t, uint32_t>> metrics = interfaceMetrics();
    std::vector<DefaultRoute> routes;
    for (ULONG i = 0; i < routeTable->NumEntries; ++i) {
        const MIB_IPFORWARD_ROW2 &row = routeTable->Table[i];
        if (row.DestinationPrefix.PrefixLength != 0 || row.NextHop.si_family != AF_INET)
            continue;
        DefaultRoute route;
        route.ifIndex = row.InterfaceIndex;
        route.nextHop = row.NextHop.Ipv4.sin_addr.s_addr;
        route.routeMetric = row.Metric;
        for (const auto &metric : metrics)
            if (metric.first == row.InterfaceIndex)
                route.interfaceMetric = metric.second;
        routes.push_back(route);
    }

    MIB_UNICASTIPADDRESS_TABLE *rawAddresses = nullptr;
    const DWORD addressesStatus = GetUnicastIpAddressTable(AF_INET, &rawAddresses);
    const MibTable<MIB_UNICASTIPADDRESS_TABLE> addressTable(rawAddresses);
    if (addressesStatus != NO_ERROR || addressTable == nullptr)
        return {};
    std::vector<AdapterAddress> addresses;
    for (ULONG i = 0; i < addressTable->NumEntries; ++i) {
        const MIB_UNICASTIPADDRESS_ROW &row = addressTable->Table[i];
        if (row.Address.si_family != AF_INET || row.DadState == IpDadStateDuplicate)
            continue;
        addresses.push_back({row.InterfaceIndex, row.Address.Ipv4.sin_addr.s_addr,
                             row.OnLinkPrefixLength});
    }
    return searchAdapters(routes, addresses);
}

} // namespace portlink
