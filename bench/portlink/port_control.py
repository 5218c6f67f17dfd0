"""PCP on the real gateway with UPnP off: portlink's discovery is measured against 1.0 s (the
first poll), add and remove in milliseconds (one UDP round trip each), and discover+add against
upnpc -a on the stock gateway."""
import statistics

from .common import FLOOR_PCP_SEARCH_MS, gateway_runs, report


def port_control_runs(runs):
    """Figures on the real gateway with UPnP off (PCP and NAT-PMP on): discovery, then two
    add/remove pairs per process, as one_run measures them on the stock gateway."""
    def discover_and_add(times):
        times["discover+add"] = times["search"] + times["first add"]
    return gateway_runs(runs, "UPnP off", lambda gw: gw.mapping_rules(), discover_and_add,
                        upnp=False, natpmp=True)


def port_control_figures(runs, peer):
    """Runs and prints the UPnP-off figures; `peer` is upnpc -a's median (ms) on the stock
    gateway."""
    pcp = port_control_runs(runs)
    pcp_ratio = report("search, UPnP off (PCP)", pcp["search"], FLOOR_PCP_SEARCH_MS)
    for key in ("first add", "first remove", "add", "remove"):
        print(f"{key + ', PCP':<36} median={statistics.median(pcp[key]):7.1f} ms  "
              f"max={max(pcp[key]):6.0f} ms", flush=True)
    slowest = max(max(pcp[k]) for k in ("first add", "first remove", "add", "remove"))
    pcp_versus = report("discover+add, PCP vs upnpc -a", pcp["discover+add"], peer)
    print("UPnP off: targets search <= 1.05, add and remove < 50 ms, discover+add < "
          "0.6 x upnpc: " + ("met" if pcp_ratio <= 1.05 and slowest < 50 and
                             pcp_versus < 0.6 else "NOT met"), flush=True)
