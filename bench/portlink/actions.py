"""Discovery and actions on the stock gateway, against their floors and against upnpc.

Each run is a fresh host process under Wine: startSearch until isSearchEnd, then two
add/remove pairs (the first pair is the process's first actions, the second the steady cost).
The times come from the host's own clock (its -v answer lines), so Wine's start-up is not
counted.  Floors: 1.5 s for a discovery answered at once (1 s before the first receive plus
0.5 s before the first HTTP read), 0.5 s per action (the sleep before the first read).  In the
same run, upnpc (a native control point) discovers and adds the same mapping: its wall time,
process start included, is the peer for portlink's discovery plus first add.
"""
import statistics
import time

from .common import FLOOR_ACTION_MS, FLOOR_SEARCH_MS, one_run, report


def upnpc_add(lan):
    """Wall time in ms of `upnpc -a` (discovery and one add) from the LAN host; the mapping
    is then removed again, untimed."""
    host = lan.net.LAN_HOST
    started = time.monotonic()
    added = lan.net.lan.run(["upnpc", "-a", host, "8080", "80", "TCP"], check=False, timeout=60)
    elapsed = (time.monotonic() - started) * 1000.0
    if added.returncode != 0 or not lan.gateway.has_mapping("tcp", 80, host, 8080):
        raise RuntimeError("upnpc -a failed: " + added.stdout[-800:] + added.stderr[-400:])
    lan.net.lan.run(["upnpc", "-d", "80", "TCP"], check=False, timeout=60)
    return elapsed


def stock_figures(lan, box, dll, runs):
    """`runs` host processes on the stock gateway `lan`, each beside one upnpc -a; prints each
    run and the figures against their floors.  Returns (figures by name, upnpc's median ms),
    the IPv4-only and native peers of later figures."""
    figures = {}
    for run in range(runs):
        times = one_run(box, dll)
        times["discover+add"] = times["search"] + times["first add"]
        times["upnpc -a"] = upnpc_add(lan)
        print(f"run {run + 1}: " + ", ".join(f"{k} {v:.0f} ms" for k, v in times.items()),
              flush=True)
        for key, value in times.items():
            figures.setdefault(key, []).append(value)
    ratios = [report(key, figures[key],
                     FLOOR_SEARCH_MS if key == "search" else FLOOR_ACTION_MS)
              for key in ("search", "first add", "first remove", "add", "remove")]
    print("target: every ratio <= 1.05: " +
          ("met" if max(ratios) <= 1.05 else "NOT met"), flush=True)
    peer = statistics.median(figures["upnpc -a"])
    versus = report("discover+add", figures["discover+add"], peer)
    print(f"  (floor here: upnpc -a, median {peer:.1f} ms; target ratio <= 1.0: "
          + ("met)" if versus <= 1.0 else "NOT met)"), flush=True)
    return figures, peer
