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
    """

    LAN_HOST = "192.168.77.20"
    GW_LAN = "192.168.77.1"
    GW_WAN = "100.200.0.2"
    ISP = "100.200.0.1"
    ISP_NET = "100.200.0.0/24"
    VPN_HOST = "10.8.0.2"
    VPN_SERVER = "10.8.0.1"

    def __init__(self, lan_address=None, with_isp=True, vpn=False):
        self.lan = Namespace("lan")
        self.gw = Namespace("gw")
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
        self.isp = None
        if with_isp:
            self.isp = Namespace("isp")
            self.gw_wan_if, self.isp_if = link(self.gw, self.GW_WAN + prefix,
                                               self.isp, self.ISP + prefix)
            self.gw.run(["sysctl", "-q", "-w", "net.ipv4.ip_forward=1"])
        # Multicast from the LAN host leaves by the LAN veth, whatever else it has.
        self.lan.run(["ip", "route", "add", "224.0.0.0/4", "dev", self.lan_if])
        self.vpn = None
        if vpn:
            self.vpn = Namespace("vpn")
            self.vpn_if, _ = link(self.lan, self.VPN_HOST + prefix, self.vpn,
                                  self.VPN_SERVER + prefix)
            self.lan.run(["ip", "route", "add", "default", "via", self.VPN_SERVER,
                          "metric", "10"])
            self.lan.run(["ip", "route", "add", self.ISP_NET, "via", gw_lan])

    def delete(self):
        for ns in (self.vpn, self.isp, self.gw, self.lan):
            if ns:
                ns.delete()
