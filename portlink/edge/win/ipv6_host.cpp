#include "win/ipv6_host.h"

#include <windows.h>
#include <iphlpapi.h>

#include <cstring>
#include <memory>
#include <utility>

namespace portlink {

namespace {

Ipv6Address addressOf(const sockaddr_in6 &socketAddress) {
    Ipv6Address address{};
    std::memcpy(address.data(), &socketAddress.sin6_addr, address.size());
    return address;
}

// True when one of the adapter's unicast addresses is the IPv4 address `ipv4`.
bool holdsIpv4(const IP_ADAPTER_ADDRESSES &adapter, uint32_t ipv4) {
    for (const IP_ADAPTER_UNICAST_ADDRESS *unicast = adapter.FirstUnicastAddress;
         unicast != nullptr; unicast = unicast->Next) {
        const sockaddr *address = unicast->Address.lpSockaddr;
        if (address != nullptr && address->sa_family == AF_INET &&
            reinterpret_cast<const sockaddr_in *>(address)->sin_addr.s_addr == ipv4)
            return true;
    }
    return false;
}

void copyIpv6Addresses(const IP_ADAPTER_ADDRESSES &from, Ipv6Adapter &to) {
    for (const IP_ADAPTER_UNICAST_ADDRESS *unicast = from.FirstUnicastAddress; unicast != nullptr;
         unicast = unicast->Next) {
        const sockaddr *address = unicast->Address.lpSockaddr;
        if (address == nullptr || address->sa_family != AF_INET6 ||
            unicast->Address.iSockaddrLength < static_cast<INT>(sizeof(sockaddr_in6)))
            continue;
        HostIpv6Address host;
        host.adapterIndex = to.ifIndex;
        host.address = addressOf(*reinterpret_cast<const sockaddr_in6 *>(address));
        host.prefixOrigin = static_cast<PrefixOrigin>(unicast->PrefixOrigin);
        host.suffixOrigin = static_cast<SuffixOrigin>(unicast->SuffixOrigin);
        host.dadState = static_cast<DadState>(unicast->DadState);
        host.preferredLifetime = unicast->PreferredLifetime;
        host.validLifetime = unicast->ValidLifetime;
        to.addresses.push_back(host);
    }
}

struct MibTableRelease {
    void operator()(MIB_IPFORWARD_TABLE2 *table) const { FreeMibTable(table); }
};

// The next hop of the IPv6 default route on interface `ifIndex` of the lowest metric.
bool readRouter(uint32_t ifIndex, Ipv6Address &router) {
    MIB_IPFORWARD_TABLE2 *raw = nullptr;
    const DWORD status = GetIpForwardTable2(AF_INET6, &raw);
    const std::unique_ptr<MIB_IPFORWARD_TABLE2, MibTableRelease> table(raw);
    if (status != NO_ERROR || table == nullptr)
        return false;
    const Ipv6Address unspecified{};
    bool found = false;
    ULONG bestMetric = 0;
    for (ULONG i = 0; i < table->NumEntries; ++i) {
        const MIB_IPFORWARD_ROW2 &row = table->Table[i];
        if (row.InterfaceIndex != ifIndex || row.DestinationPrefix.PrefixLength != 0 ||
            row.NextHop.si_family != AF_INET6)
            continue;
        const Ipv6Address hop = addressOf(row.NextHop.Ipv6);
        if (hop == unspecified || (found && row.Metric >= bestMetric))
            continue;
        router = hop;
        bestMetric = row.Metric;
        found = true;
    }
    return found;
}

} // namespace

bool readIpv6Adapter(uint32_t localIpv4, Ipv6Adapter &adapter) {
    if (localIpv4 == 0 || localIpv4 == INADDR_NONE)
        return false;
    constexpr ULONG kFlags =
        GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER;
    // The list can grow between the call that sizes it and the call that fills it.  Held as
    // 64-bit words, for the alignment of the records.
    ULONG size = 16 * 1024;
    std::unique_ptr<ULONGLONG[]> buffer;
    ULONG status = ERROR_BUFFER_OVERFLOW;
    for (int attempt = 0; attempt < 4 && status == ERROR_BUFFER_OVERFLOW; ++attempt) {
        buffer.reset(new ULONGLONG[(size + sizeof(ULONGLONG) - 1) / sizeof(ULONGLONG)]);
        status =
            GetAdaptersAddresses(AF_UNSPEC, kFlags, nullptr,
                                 reinterpret_cast<IP_ADAPTER_ADDRESSES *>(buffer.get()), &size);
    }
    if (status != NO_ERROR)
        return false;
    for (const auto *entry = reinterpret_cast<const IP_ADAPTER_ADDRESSES *>(buffer.get());
         entry != nullptr; entry = entry->Next) {
        if (!holdsIpv4(*entry, localIpv4))
            continue;
        Ipv6Adapter found;
        found.ifIndex = entry->IfIndex;
        copyIpv6Addresses(*entry, found);
        found.hasRouter = readRouter(found.ifIndex, found.router);
        adapter = std::move(found);
        return true;
    }
    return false;
}

sockaddr_in6 ipv6SocketAddress(const Ipv6Address &address, uint32_t scopeId, uint16_t port) {
    sockaddr_in6 socketAddress = {};
    socketAddress.sin6_family = AF_INET6;
    socketAddress.sin6_port = htons(port);
    std::memcpy(&socketAddress.sin6_addr, address.data(), address.size());
    const bool linkScope =
        isLinkLocal(address) || (address[0] == 0xff && (address[1] & 0x0f) == 0x02);
    socketAddress.sin6_scope_id = linkScope ? scopeId : 0;
    return socketAddress;
}

bool bindIpv6(SOCKET socket, const Ipv6Address &address, uint32_t scopeId) {
    const sockaddr_in6 local = ipv6SocketAddress(address, scopeId, 0);
    return bind(socket, reinterpret_cast<const sockaddr *>(&local), sizeof local) == 0;
}

} // namespace portlink
