"""Discovery on a LAN host with a second adapter that wins the multicast route, beside the
one-adapter discovery of the stock gateway (actions).  Two layouts, each a fresh real gateway:
"side", an adapter without a default gateway holding the preferred multicast route (the search
goes out of the LAN adapter alone, so discovery should cost what it costs with one adapter), and
"vpn", a VPN whose default route and multicast route are preferred (the search goes out of both
adapters; the LAN gateway's answer comes in on the adapter that is not preferred, so the search
waits one poll, 1 s, for the preferred one before it ends).

    sudo python3 -m bench.portlink.adapters [--runs N]

runs this module alone (with its own one-adapter figure).
"""
import argparse
import statistics
import sys

from .common import FLOOR_SEARCH_MS, gateway_runs, report

# How much longer the search waits for the preferred adapter when the answer came in on
# another one: one poll.
PREFERRED_ADAPTER_WAIT_MS = 1000.0

LAYOUTS = (
    ("side", "search, second adapter holds multicast", {"side": True}, 0.0),
    ("vpn", "search, VPN holds default+multicast", {"vpn": True, "multicast_by_metric": True},
     PREFERRED_ADAPTER_WAIT_MS),
)


def adapter_runs(runs, options):
    """one_run's figures on a fresh gateway whose LAN host has the second adapter `options`
    ask for."""
    return gateway_runs(runs, "two adapters " + ",".join(options), lambda gw: gw.mapping_rules(),
                        **options)


def adapter_figures(runs, figures):
    """Runs and prints discovery on the two-adapter layouts against `figures["search"]`, the
    one-adapter discovery of this run (plus the preferred adapter's wait where it applies)."""
    one_adapter = statistics.median(figures["search"])
    ratios = []
    for _, label, options, extra in LAYOUTS:
        found = adapter_runs(runs, options)
        ratios.append(report(label, found["search"], one_adapter + extra))
    print(f"  (floor here: the one-adapter discovery of this run, median {one_adapter:.1f} ms;"
          f" with the VPN preferred, plus {PREFERRED_ADAPTER_WAIT_MS:.0f} ms for the preferred "
          "adapter's poll; target ratio <= 1.05: "
          + ("met)" if max(ratios) <= 1.05 else "NOT met)"), flush=True)


def main():
    parser = argparse.ArgumentParser(prog="python3 -m bench.portlink.adapters")
    parser.add_argument("--runs", type=int, default=3)
    args = parser.parse_args()
    one_adapter = gateway_runs(args.runs, "one adapter", lambda gw: gw.mapping_rules())
    report("search, one adapter", one_adapter["search"], FLOOR_SEARCH_MS)
    adapter_figures(args.runs, one_adapter)
    return 0


if __name__ == "__main__":
    sys.exit(main())
