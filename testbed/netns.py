"""Network namespaces made and removed by the test run itself.

Nothing here ever touches an interface of the root namespace: every link is a veth pair
created directly inside namespaces of ours, and every namespace is deleted on exit (or, when
the run is killed, by the next run: see workspace.py).
"""
import atexit
import itertools
import os
import signal
import subprocess
import time
from dataclasses import dataclass

from . import workspace

_counter = itertools.count()
_live = []


def _ip(*args, check=True):
    return subprocess.run(["ip", *args], check=check, capture_output=True, text=True)


def _cleanup_all():
    while _live:
        _live.pop().delete()


atexit.register(_cleanup_all)


def _on_signal(signum, _frame):
    _cleanup_all()
    raise SystemExit(128 + signum)


for _sig in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
    try:
        signal.signal(_sig, _on_signal)
    except ValueError:  # not the main thread
        pass


class Namespace:
    """One network namespace with loopback up; deleted by delete() or at exit."""

    def __init__(self, role):
        workspace.sweep()
        self.name = f"{workspace.TAG}x{next(_counter)}{role}"[:15]
        _ip("netns", "add", self.name)
        _live.append(self)
        self.run(["ip", "link", "set", "lo", "up"])

    def command(self, argv):
        """argv prefixed so that it runs inside this namespace."""
        return ["ip", "netns", "exec", self.name, *argv]

    def run(self, argv, **kw):
        kw.setdefault("check", True)
        kw.setdefault("capture_output", True)
        kw.setdefault("text", True)
        return subprocess.run(self.command(argv), **kw)

    def popen(self, argv, **kw):
        return subprocess.Popen(self.command(argv), **kw)

    def delete(self):
        if self in _live:
            _live.remove(self)
        workspace.remove_namespace(self.name)


def link(a, a_addr, b, b_addr):
    """A veth pair between namespaces a and b with the given CIDR addresses."""
    ifa, ifb = f"v{next(_counter)}a{os.getpid() % 10000}", f"v{next(_counter)}b{os.getpid() % 10000}"
    a.run(["ip", "link", "add", ifa, "type", "veth", "peer", "name", ifb, "netns", b.name])
    a.run(["ip", "addr", "add", a_addr, "dev", ifa])
    b.run(["ip", "addr", "add", b_addr, "dev", ifb])
    a.run(["ip", "link", "set", ifa, "up"])
    b.run(["ip", "link", "set", ifb, "up"])
    return ifa, ifb


class Lan:
    """lan (host under test) -- gw (gateway) -- isp (outside world).

    lan 192.168.77.20/24 with its default route via gw 192.168.77.1; gw's WAN side
    100.200.0.2/24 faces isp 100.200.0.1/24.  With lan_address set to something else the
    host gets that address instead (for tests of a public-looking local address).  With vpn
    set, lan has a second adapter 10.8.0.2/24 towards a vpn namespace (10.8.0.1) whose default
    route is preferred, as a VPN client sets up; multicast and the isp network (split tunnel)
    still go by the LAN veth, so the gateway is found and forwarded replies come back.

    multicast_by_metric=True gives each of the host's adapters its own 224.0.0.0/4 route with
    its default route's metric, as Windows does (LAN 100, VPN 10), instead of sending
    multicast by the LAN veth: with vpn a search that leaves as the routes choose goes out
    of the VPN adapter, where nothing answers.  side=True gives the host a second adapter
    without a default gateway, 10.9.0.2/24 towards a side namespace (10.9.0.1) where nothing
    answers, which holds the preferred multicast route (metric 5, the LAN's 100), as a
    virtual switch or host-only adapter often does.

    ipv6=True adds IPv6 to the LAN and WAN links (without it nothing of this is set up):
    the LAN 2001:db8:77::/64 with gw 2001:db8:77::1 (and its link-local, gateway_link_local)
    and the host's stable 2001:db8:77::20; the WAN 2001:db8:200::/64 with gw
    2001:db8:200::2 and isp 2001:db8:200::1, which routes the LAN prefix via gw.  gw
    forwards IPv6; the host's default IPv6 route goes via gw's link-local, as a router
    advertisement would set it.  Duplicate address detection is off in all three
    namespaces, so every address is usable at once.  temporary6=True gives the host a second
    address in the prefix with finite lifetimes (TEMPORARY6), added after the stable one,
    as a privacy address would be; the kernel then picks it as the source of an unbound
    socket.  No VPN in this mode.
    """

    LAN_HOST = "192.168.77.20"
    LAN_NET = "192.168.77.0/24"
    GW_LAN = "192.168.77.1"
    GW_WAN = "100.200.0.2"
    ISP = "100.200.0.1"
    ISP_NET = "100.200.0.0/24"
    VPN_HOST = "10.8.0.2"
    VPN_SERVER = "10.8.0.1"
    SIDE_HOST = "10.9.0.2"
    SIDE_PEER = "10.9.0.1"
    LAN6_PREFIX = "2001:db8:77::/64"
    LAN_HOST6 = "2001:db8:77::20"
    TEMPORARY6 = "2001:db8:77:0:a8c1:5e3f:9d24:7b61"
    GW_LAN6 = "2001:db8:77::1"
    GW_WAN6 = "2001:db8:200::2"
    ISP6 = "2001:db8:200::1"

    def __init__(self, lan_address=None, with_isp=True, vpn=False, ipv6=False,
                 temporary6=False, multicast_by_metric=False, side=False):
        if ipv6 and (vpn or side or lan_address or not with_isp):
            raise ValueError("ipv6 goes with the plain layout only")
        multicast_by_metric = multicast_by_metric or side
        self.ipv6 = ipv6
        self.lan = Namespace("lan")
        self.gw = Namespace("gw")
        self.isp = Namespace("isp") if ipv6 else None
        if ipv6:
            for ns in (self.lan, self.gw, self.isp):
                # Links made from now on skip DAD (link-local addresses included).
                ns.run(["sysctl", "-q", "-w", "net.ipv6.conf.default.accept_dad=0",
                        "net.ipv6.conf.all.accept_dad=0"])
        self.host_address = lan_address or self.LAN_HOST
        prefix = "/24"
        gw_lan = self.GW_LAN
        if lan_address:
            parts = lan_address.split(".")
            gw_lan = ".".join(parts[:3] + ["1" if parts[3] != "1" else "2"])
        self.gateway_lan_address = gw_lan
        self.lan_if, self.gw_lan_if = link(self.lan, self.host_address + prefix,
                                           self.gw, gw_lan + prefix)
        self.lan.run(["ip", "route", "add", "default", "via", gw_lan,
                      *(["metric", "100"] if vpn else [])])
        if with_isp:
            self.isp = self.isp or Namespace("isp")
            self.gw_wan_if, self.isp_if = link(self.gw, self.GW_WAN + prefix,
                                               self.isp, self.ISP + prefix)
            self.gw.run(["sysctl", "-q", "-w", "net.ipv4.ip_forward=1"])
        # Multicast from the LAN host leaves by the LAN veth, whatever else it has, unless
        # every adapter has its own multicast route with its metric.
        self.lan.run(["ip", "route", "add", "224.0.0.0/4", "dev", self.lan_if,
                      *(["metric", "100"] if multicast_by_metric else [])])
        self.vpn = None
        if vpn:
            self.vpn = Namespace("vpn")
            self.vpn_if, _ = link(self.lan, self.VPN_HOST + prefix, self.vpn,
                                  self.VPN_SERVER + prefix)
            self.lan.run(["ip", "route", "add", "default", "via", self.VPN_SERVER,
                          "metric", "10"])
            self.lan.run(["ip", "route", "add", self.ISP_NET, "via", gw_lan])
            if multicast_by_metric:
                self.lan.run(["ip", "route", "add", "224.0.0.0/4", "dev", self.vpn_if,
                              "metric", "10"])
        self.side = None
        if side:
            self.side = Namespace("side")
            self.side_if, _ = link(self.lan, self.SIDE_HOST + prefix, self.side,
                                   self.SIDE_PEER + prefix)
            self.lan.run(["ip", "route", "add", "224.0.0.0/4", "dev", self.side_if,
                          "metric", "5"])
        self.gateway_link_local = None
        if ipv6:
            self._add_ipv6(temporary6)

    def _add_ipv6(self, temporary6):
        def add(ns, address, dev, *extra):
            ns.run(["ip", "-6", "addr", "add", address, "dev", dev, "nodad", *extra])
        add(self.gw, self.GW_LAN6 + "/64", self.gw_lan_if)
        add(self.gw, self.GW_WAN6 + "/64", self.gw_wan_if)
        add(self.isp, self.ISP6 + "/64", self.isp_if)
        add(self.lan, self.LAN_HOST6 + "/64", self.lan_if)
        if temporary6:
            add(self.lan, self.TEMPORARY6 + "/64", self.lan_if,
                "preferred_lft", "3600", "valid_lft", "7200")
        self.gw.run(["sysctl", "-q", "-w", "net.ipv6.conf.all.forwarding=1"])
        self.isp.run(["ip", "-6", "route", "add", self.LAN6_PREFIX, "via", self.GW_WAN6])
        self.gateway_link_local = self._link_local(self.gw, self.gw_lan_if)
        self.lan.run(["ip", "-6", "route", "add", "default", "via", self.gateway_link_local,
                      "dev", self.lan_if])

    @staticmethod
    def _link_local(ns, dev, bound=5.0):
        """The kernel's link-local address of dev, once it is there and not tentative."""
        deadline = time.monotonic() + bound
        while time.monotonic() < deadline:
            out = ns.run(["ip", "-6", "-o", "addr", "show", "dev", dev, "scope", "link"]).stdout
            for line in out.splitlines():
                words = line.split()
                if "inet6" in words and "tentative" not in words:
                    return words[words.index("inet6") + 1].split("/")[0]
            time.sleep(0.05)
        raise RuntimeError(f"no link-local address on {dev}")

    def delete(self):
        for ns in (self.side, self.vpn, self.isp, self.gw, self.lan):
            if ns:
                ns.delete()


_MASQUERADE = """
table ip lab_masquerade {{
    chain postrouting {{
        type nat hook postrouting priority srcnat; policy accept;
        oifname "{wan}" masquerade
    }}
}}
"""


class TwoRouterLan:
    """Two NATs in a row, as in a home whose own router sits behind the provider's box:

        lan 192.168.77.20 -- gw (inner router) 192.168.77.1 | 192.168.1.2
            -- outer (outer router) 192.168.1.1 | 100.200.0.2 -- isp 100.200.0.1

    Each router forwards and masquerades what leaves by its WAN link (an nft table
    lab_masquerade of its own); the LAN host's default route goes via gw, gw's via outer,
    outer's via isp.  isp also holds PROBE (192.0.0.9/32) on its loopback, so that a probe
    sent towards that address beyond the routers stays inside the lab.  The attributes keep
    Lan's names for the LAN host and the inner router (lan, gw, lan_if, gw_lan_if, gw_wan_if,
    host_address, GW_LAN, GW_WAN); outer_side() shows the outer router as a Lan's gateway, for
    gateway.Gateway."""

    LAN_HOST = Lan.LAN_HOST
    LAN_NET = Lan.LAN_NET
    GW_LAN = Lan.GW_LAN
    GW_WAN = "192.168.1.2"
    OUTER_NET = "192.168.1.0/24"
    OUTER_LAN = "192.168.1.1"
    OUTER_WAN = Lan.GW_WAN
    ISP = Lan.ISP
    PROBE = "192.0.0.9"

    def __init__(self):
        self.ipv6 = False
        self.host_address = self.LAN_HOST
        self.gateway_lan_address = self.GW_LAN
        self.lan = self.gw = self.outer = self.isp = None
        try:
            self.lan = Namespace("lan")
            self.gw = Namespace("gw")
            self.outer = Namespace("out")
            self.isp = Namespace("isp")
            self.lan_if, self.gw_lan_if = link(self.lan, self.LAN_HOST + "/24",
                                               self.gw, self.GW_LAN + "/24")
            self.gw_wan_if, self.outer_lan_if = link(self.gw, self.GW_WAN + "/24",
                                                     self.outer, self.OUTER_LAN + "/24")
            self.outer_wan_if, self.isp_if = link(self.outer, self.OUTER_WAN + "/24",
                                                  self.isp, self.ISP + "/24")
            self.lan.run(["ip", "route", "add", "default", "via", self.GW_LAN])
            self.lan.run(["ip", "route", "add", "224.0.0.0/4", "dev", self.lan_if])
            for router, wan, upstream in ((self.gw, self.gw_wan_if, self.OUTER_LAN),
                                          (self.outer, self.outer_wan_if, self.ISP)):
                router.run(["ip", "route", "add", "default", "via", upstream])
                router.run(["sysctl", "-q", "-w", "net.ipv4.ip_forward=1"])
                router.run(["nft", "-f", "-"], input=_MASQUERADE.format(wan=wan))
            self.isp.run(["ip", "addr", "add", self.PROBE + "/32", "dev", "lo"])
        except BaseException:
            self.delete()
            raise

    def outer_side(self):
        """The outer router seen as a Lan's gateway (gw, gw_lan_if, gw_wan_if, GW_LAN,
        GW_WAN, LAN_NET, isp), with the LAN host (lan, host_address) as the host behind it,
        so that gateway.Gateway runs the real daemon there and its listen() and reach() go
        end to end through both routers."""
        return _RouterSide(gw=self.outer, gw_lan_if=self.outer_lan_if,
                           gw_wan_if=self.outer_wan_if, GW_LAN=self.OUTER_LAN,
                           GW_WAN=self.OUTER_WAN, LAN_NET=self.OUTER_NET, isp=self.isp,
                           lan=self.lan, host_address=self.host_address, ipv6=False)

    def delete(self):
        for ns in (self.isp, self.outer, self.gw, self.lan):
            if ns:
                ns.delete()


@dataclass(frozen=True)
class _RouterSide:
    gw: Namespace
    gw_lan_if: str
    gw_wan_if: str
    GW_LAN: str
    GW_WAN: str
    LAN_NET: str
    isp: Namespace
    lan: Namespace
    host_address: str
    ipv6: bool
