"""The two-router lab: a netns.TwoRouterLan with the scripted inner router (inner_router.py)
as the LAN's gateway, an outer router of the variant asked for, and a capture of what leaves
the inner router's WAN link towards the outer one (upstream_watch.py).

Outer router variants: "upnp", Debian's miniupnpd as it ships (gateway.Gateway with its
defaults, on the outer router's LAN link, allowing 192.168.1.0/24), which restart() stops,
flushes and starts again as a reboot would; "nat", a plain NAT with no daemon at all;
"scripted", that NAT whose router plays a fake gateway's scenario (fakegw.py on its LAN address)
for the length of a scripted_outer() block, while the provider's side serves and records HTTP.
public=True makes the inner router report a public external address.
"""
import os
import shutil

from . import fakegw, gateway, netns, workspace
from .inner_router import InnerRouter
from .upstream_watch import UpstreamWatch

OUTER_VARIANTS = ("upnp", "nat", "scripted")


class TwoRouterLab:
    def __init__(self, outer="upnp", public=False, **gateway_options):
        if outer not in OUTER_VARIANTS:
            raise ValueError(f"outer router {outer!r} is not one of {OUTER_VARIANTS}")
        self.net = netns.TwoRouterLan()
        self.inner = self.outer = self.watch = None
        self._listeners = []
        self._work = workspace.work_dir("outer") if outer == "scripted" else None
        self._scripted = 0
        try:
            self.inner = InnerRouter(self.net, public=public)
            if outer == "upnp":
                self.outer = gateway.Gateway(self.net.outer_side(), **gateway_options)
            self.watch = UpstreamWatch(self.net.gw, self.net.gw_wan_if)
        except BaseException:
            self.close()
            raise

    def listen(self, kind, port):
        """An echo listener on the LAN host's port."""
        self._listeners.append(gateway.start_listener(self.net.lan, self.net.LAN_HOST, kind,
                                                      port))

    def reach(self, kind, port, wait=2.0):
        """From the provider's side (isp) to the outer router's WAN address: True when the LAN
        host's listener echoed, so the port is forwarded through both routers."""
        return gateway.reaches(self.net.isp, self.net.OUTER_WAN, kind, port, wait)

    def inner_mapped(self, protocol, external, internal):
        """The inner router forwards protocol/external to the LAN host's internal port."""
        return self.inner.has_mapping(protocol, external, self.net.LAN_HOST, internal)

    def outer_mapped(self, protocol, external):
        """The outer daemon forwards protocol/external to the inner router's WAN address, same
        port."""
        return self.outer.has_mapping(protocol, external, self.net.GW_WAN, external)

    def scripted_outer(self, scenario, provider_http):
        """With outer="scripted": from now until the ScriptedOuter's close (a with block), the
        outer router plays `scenario` (a fakegw scenario; its "address" is the router's LAN
        address) and the provider's side listens on ISP with `provider_http` (a fakegw "http"
        plan), recording every connection."""
        if self._work is None:
            raise ValueError("scripted_outer needs TwoRouterLab(outer=\"scripted\")")
        self._scripted += 1
        return ScriptedOuter(self.net, scenario, provider_http,
                             os.path.join(self._work, str(self._scripted)))

    def close(self):
        for process in self._listeners:
            process.kill()
            process.wait()
            process.stdout.close()
        for part in (self.watch, self.outer, self.inner):
            if part:
                part.close()
        self.net.delete()
        if self._work:
            shutil.rmtree(self._work, ignore_errors=True)


class ScriptedOuter:
    """Fake gateways in the outer router (on its LAN address) and on the provider's side (HTTP
    only, on ISP); on close() their records become `outer` and `provider` (fakegw's record)."""

    def __init__(self, net, scenario, provider_http, base):
        self.outer = self.provider = None
        scenario = dict(scenario, address=net.OUTER_LAN)
        scenario.setdefault("max_seconds", 120)
        self._played = [fakegw.Played(net.outer, scenario, base + ".outer")]
        try:
            self._played.append(fakegw.Played(
                net.isp, {"address": net.ISP, "ssdp": False, "http": provider_http,
                          "max_seconds": scenario["max_seconds"]},
                base + ".provider"))
        except BaseException:
            self._played[0].stop()
            raise

    def close(self):
        self.outer, self.provider = (played.stop() for played in self._played)

    def __enter__(self):
        return self

    def __exit__(self, *_):
        self.close()
