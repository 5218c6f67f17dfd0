// ipv6_probe STABLE [WAIT_MS]: what a Windows program sees of IPv6 on this host, and which
// router answers it.  A look-around tool for the IPv6 pinhole work, run by hand under Wine in
// a test bed LAN namespace (never in the root namespace).  One line per fact:
//   adapters flags=0xN result=CODE   (GetAdaptersAddresses(AF_INET6, flags); when it fails,
//                                     asked again with GAA_FLAG_SKIP_DNS_SERVER added)
//   adapter if=N ipv6if=N name=... type=N oper=N
//   unicast ADDRESS/ONLINK prefix_origin=N suffix_origin=N dad=N preferred=S valid=S
//   gateway ADDRESS
//   route6 PREFIX/LEN via NEXTHOP if=N metric=N      (GetIpForwardTable2, AF_INET6)
//   routes6 result=CODE count=N
//   msearch-to DEST result=N          then per answer: msearch-from ADDRESS / location=... /
//                                     usn=... / st=...
//   announce-to DEST result=N         then per answer: announce-from ADDRESS bytes=N
//                                     version=N opcode=0xNN result=N epoch=N
// The searches and announces are sent from a UDP socket bound to [STABLE]:0, to the
// link-scope groups ff02::c (SSDP), ff02::2 (all routers) and ff02::1 (all nodes) on the
// interface that holds STABLE (the announce also to each gateway address listed); each waits
// WAIT_MS (default 2000) for answers.  Bounded: one send and one wait per target.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <iphlpapi.h>
#include <netioapi.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::string Text(const sockaddr *address, int length) {
    char host[NI_MAXHOST] = {};
    if (address == nullptr ||
        getnameinfo(address, static_cast<socklen_t>(length), host, sizeof host, nullptr, 0,
                    NI_NUMERICHOST) != 0) {
        return "?";
    }
    return host;
}

std::string Text(const SOCKADDR_INET &address) {
    return Text(reinterpret_cast<const sockaddr *>(&address),
                address.si_family == AF_INET6 ? sizeof(SOCKADDR_IN6) : sizeof(SOCKADDR_IN));
}

// Lists the adapters with IPv6 (asked with `flags`); returns the IfIndex of the one that
// holds `stable`, 0 if none; adds the gateways listed to `gateways`.
unsigned long ListAdapters(const in6_addr &stable, ULONG flags,
                           std::vector<sockaddr_in6> &gateways) {
    ULONG size = 64 * 1024;
    std::vector<unsigned char> buffer;
    ULONG result = ERROR_BUFFER_OVERFLOW;
    for (int round = 0; round < 3 && result == ERROR_BUFFER_OVERFLOW; ++round) {
        buffer.resize(size);
        result = GetAdaptersAddresses(AF_INET6, flags, nullptr,
                                      reinterpret_cast<IP_ADAPTER_ADDRESSES *>(buffer.data()),
                                      &size);
    }
    std::printf("adapters flags=0x%lx result=%lu\n", flags, result);
    if (result != NO_ERROR) {
        return 0;
    }
    unsigned long found = 0;
    for (auto *adapter = reinterpret_cast<IP_ADAPTER_ADDRESSES *>(buffer.data());
         adapter != nullptr; adapter = adapter->Next) {
        std::printf("adapter if=%lu ipv6if=%lu name=%s type=%lu oper=%d\n", adapter->IfIndex,
                    adapter->Ipv6IfIndex, adapter->AdapterName, adapter->IfType,
                    static_cast<int>(adapter->OperStatus));
        for (auto *unicast = adapter->FirstUnicastAddress; unicast != nullptr;
             unicast = unicast->Next) {
            const sockaddr *address = unicast->Address.lpSockaddr;
            std::printf("  unicast %s/%u prefix_origin=%d suffix_origin=%d dad=%d preferred=%lu "
                        "valid=%lu\n",
                        Text(address, unicast->Address.iSockaddrLength).c_str(),
                        unicast->OnLinkPrefixLength, static_cast<int>(unicast->PrefixOrigin),
                        static_cast<int>(unicast->SuffixOrigin),
                        static_cast<int>(unicast->DadState), unicast->PreferredLifetime,
                        unicast->ValidLifetime);
            if (address->sa_family == AF_INET6 &&
                std::memcmp(&reinterpret_cast<const sockaddr_in6 *>(address)->sin6_addr, &stable,
                            sizeof stable) == 0) {
                found = adapter->IfIndex;
            }
        }
        for (auto *gateway = adapter->FirstGatewayAddress; gateway != nullptr;
             gateway = gateway->Next) {
            std::printf("  gateway %s\n",
                        Text(gateway->Address.lpSockaddr, gateway->Address.iSockaddrLength)
                            .c_str());
            if (gateway->Address.lpSockaddr->sa_family == AF_INET6) {
                gateways.push_back(
                    *reinterpret_cast<const sockaddr_in6 *>(gateway->Address.lpSockaddr));
            }
        }
    }
    return found;
}

void ListRoutes() {
    MIB_IPFORWARD_TABLE2 *table = nullptr;
    DWORD result = GetIpForwardTable2(AF_INET6, &table);
    std::printf("routes6 result=%lu count=%lu\n", result, table ? table->NumEntries : 0UL);
    if (result != NO_ERROR || table == nullptr) {
        return;
    }
    for (ULONG i = 0; i < table->NumEntries; ++i) {
        const MIB_IPFORWARD_ROW2 &row = table->Table[i];
        std::printf("route6 %s/%u via %s if=%lu metric=%lu%s\n",
                    Text(row.DestinationPrefix.Prefix).c_str(), row.DestinationPrefix.PrefixLength,
                    Text(row.NextHop).c_str(), row.InterfaceIndex, row.Metric,
                    row.DestinationPrefix.PrefixLength == 0 ? " default" : "");
    }
    FreeMibTable(table);
}

// The value of a header line of an SSDP answer ("" when absent), name matched without case.
std::string Header(const std::string &answer, const char *name) {
    size_t start = 0;
    const size_t length = std::strlen(name);
    while (start < answer.size()) {
        size_t end = answer.find("\r\n", start);
        if (end == std::string::npos) {
            end = answer.size();
        }
        const std::string line = answer.substr(start, end - start);
        if (line.size() > length && line[length] == ':' &&
            _strnicmp(line.c_str(), name, length) == 0) {
            size_t value = length + 1;
            while (value < line.size() && line[value] == ' ') {
                ++value;
            }
            return line.substr(value);
        }
        start = end + 2;
    }
    return "";
}

// Sends `request` from [stable]:0 to [group%ifindex]:port, then prints every answer that
// comes within wait_ms, through `show`.
template <typename Show>
void Ask(const char *label, const in6_addr &stable, unsigned long ifindex, const char *group,
         unsigned short port, const std::string &request, int wait_ms, Show show) {
    SOCKET s = socket(AF_INET6, SOCK_DGRAM, IPPROTO_UDP);
    sockaddr_in6 local = {};
    local.sin6_family = AF_INET6;
    local.sin6_addr = stable;
    local.sin6_scope_id = 0;
    if (s == INVALID_SOCKET ||
        bind(s, reinterpret_cast<sockaddr *>(&local), sizeof local) == SOCKET_ERROR) {
        std::printf("%s-to %s bind-failed=%d\n", label, group, WSAGetLastError());
        if (s != INVALID_SOCKET) {
            closesocket(s);
        }
        return;
    }
    sockaddr_in6 to = {};
    to.sin6_family = AF_INET6;
    to.sin6_port = htons(port);
    to.sin6_scope_id = ifindex;
    inet_pton(AF_INET6, group, &to.sin6_addr);
    const int sent = sendto(s, request.data(), static_cast<int>(request.size()), 0,
                            reinterpret_cast<sockaddr *>(&to), sizeof to);
    std::printf("%s-to [%s%%%lu]:%u result=%d error=%d\n", label, group, ifindex, port, sent,
                sent == SOCKET_ERROR ? WSAGetLastError() : 0);
    const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(wait_ms);
    for (int answers = 0; answers < 32;) {
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline) {
            break;
        }
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(s, &readable);
        timeval timeout = {0, static_cast<long>((deadline - now) * 1000)};
        if (select(0, &readable, nullptr, nullptr, &timeout) <= 0) {
            break;
        }
        char buffer[2048];
        sockaddr_in6 from = {};
        int from_length = sizeof from;
        const int got = recvfrom(s, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr *>(&from),
                                 &from_length);
        if (got < 0) {
            std::printf("%s-recv error=%d\n", label, WSAGetLastError());
            break;
        }
        ++answers;
        show(Text(reinterpret_cast<sockaddr *>(&from), from_length),
             std::string(buffer, static_cast<size_t>(got)));
    }
    closesocket(s);
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: ipv6_probe STABLE [WAIT_MS]\n");
        return 2;
    }
    WSADATA wsa;
    WSAStartup(MAKEWORD(2, 2), &wsa);
    in6_addr stable = {};
    if (inet_pton(AF_INET6, argv[1], &stable) != 1) {
        std::fprintf(stderr, "not an IPv6 address: %s\n", argv[1]);
        return 2;
    }
    const int wait_ms = argc > 2 ? std::atoi(argv[2]) : 2000;

    // Without GAA_FLAG_SKIP_DNS_SERVER, Wine 8 may fail the whole call when the host has no
    // IPv6 DNS server; the second ask shows what the adapters hold all the same.
    std::vector<sockaddr_in6> gateways;
    unsigned long ifindex = ListAdapters(stable, GAA_FLAG_INCLUDE_GATEWAYS, gateways);
    if (ifindex == 0) {
        ifindex = ListAdapters(stable, GAA_FLAG_INCLUDE_GATEWAYS | GAA_FLAG_SKIP_DNS_SERVER,
                               gateways);
    }
    std::printf("stable-if %lu\n", ifindex);
    ListRoutes();

    const std::string search =
        "M-SEARCH * HTTP/1.1\r\nHOST: [FF02::C]:1900\r\nST: "
        "urn:schemas-upnp-org:service:WANIPConnection:1\r\nMAN: \"ssdp:discover\"\r\nMX: 2\r\n\r\n";
    Ask("msearch", stable, ifindex, "ff02::c", 1900, search, wait_ms,
        [](const std::string &from, const std::string &answer) {
            std::printf("msearch-from %s\n  location=%s\n  usn=%s\n  st=%s\n", from.c_str(),
                        Header(answer, "LOCATION").c_str(), Header(answer, "USN").c_str(),
                        Header(answer, "ST").c_str());
        });

    std::string announce(24, '\0');
    announce[0] = 2;  // version 2, opcode 0 (ANNOUNCE), lifetime 0
    std::memcpy(&announce[8], &stable, sizeof stable);
    std::vector<std::string> targets = {"ff02::2", "ff02::1"};
    for (const sockaddr_in6 &gateway : gateways) {  // and unicast to each gateway listed
        char text[INET6_ADDRSTRLEN] = {};
        inet_ntop(AF_INET6, &gateway.sin6_addr, text, sizeof text);
        targets.push_back(text);
    }
    for (const std::string &target : targets) {
        Ask("announce", stable, ifindex, target.c_str(), 5351, announce, wait_ms,
            [](const std::string &from, const std::string &answer) {
                const auto at = [&answer](size_t i) {
                    return i < answer.size() ? static_cast<unsigned char>(answer[i]) : 0u;
                };
                const unsigned long epoch = (static_cast<unsigned long>(at(8)) << 24) |
                                            (at(9) << 16) | (at(10) << 8) | at(11);
                std::printf("announce-from %s bytes=%zu version=%u opcode=0x%02x result=%u "
                            "epoch=%lu\n",
                            from.c_str(), answer.size(), at(0), at(1), at(3), epoch);
            });
    }
    WSACleanup();
    return 0;
}
