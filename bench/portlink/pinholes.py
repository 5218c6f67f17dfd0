"""IPv6: the same figures as one_run's on the stock gateway with IPv6 on (ipv6=True, where each
add also opens a pinhole and each remove closes it) against those of the IPv4-only stock
gateway of this run (goal for the adds: ratio <= 1.05); and the time from the add's return (the
arrival of its answer line here) to the pinhole forwarding: a prober in the isp namespace
(helpers/pinhole_prober.py) starts a TCP connection to the LAN host's stable address
(2001:db8:77::20:8080) every 20 ms (15 ms each), and the first one answered by the LAN
listener ends the figure, which is then checked in the gateway's forward chain (pinholes())
and by reach6.  Rows: UPnP AddPinhole on the stock gateway (goal 1.1 s), PCP on its IGDv1 view
with PCP on (igd_v1=True, natpmp=True; goal 100 ms); beside them the remove of that mapping
3 s later, its pinhole open (host's clock).
"""
import select
import statistics
import subprocess
import time

from testbed import gateway, netns, winebox

from .common import LINE, SEARCH, Lines, gateway_runs, helper, portlink_dll, report

PINHOLE_POLL_S = 0.02
PINHOLE_PROBE_TIMEOUT_S = 0.015
# The host sleeps this long after the add; a pinhole later than that is not waited for.
PINHOLE_BOUND_MS = 3000
# gateway options, goal (ms) of the pinhole timing rows
PINHOLE_ROWS = (("UPnP (stock)", {}, 1100.0),
                ("PCP (igd_v1=True, natpmp=True)", {"igd_v1": True, "natpmp": True}, 100.0))


def dual_stack_runs(runs):
    """one_run's figures on the stock gateway with IPv6 on (ipv6=True): each add also opens a
    pinhole for the LAN host's stable IPv6 address, each remove closes it."""
    return gateway_runs(runs, "dual-stack (ipv6=True)",
                        lambda gw: gw.mapping_rules() or gw.pinholes(), ipv6=True)


def pinhole_run(lan, box, dll, program="vnxhost.exe"):
    """One host process: search, add 8080 -> 80 (TCP), sleep, remove.  A prober in the isp
    namespace tries [LAN_HOST6]:8080 every PINHOLE_POLL_S from before the host starts; the
    figure is the time (ms) from the arrival of the add's answer line here to the answer of the
    first connection that got through (None: none within PINHOLE_BOUND_MS).  Then the pinhole
    is checked in the forward chain (pinholes()) and proven once more by reach6, and after the
    remove proven gone.  Returns (figure, tries, note, remove ms by the host's clock: the
    remove of a mapping whose pinhole is open).  `program` is the host program of dll's
    build."""
    gw, net = lan.gateway, lan.net
    hole = ("tcp", net.LAN_HOST6, 8080)
    prober = net.isp.popen(["python3", "-u", helper("pinhole_prober.py"), net.LAN_HOST6, "8080",
                            str(PINHOLE_POLL_S), str(PINHOLE_PROBE_TIMEOUT_S), "40"],
                           stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                           stderr=subprocess.DEVNULL, text=True)
    process = None
    try:
        if prober.stdout.readline().strip() != "ready":
            raise RuntimeError("the pinhole prober did not start")
        process = box.popen(program, ["-v", dll, *SEARCH, "addNATPortMapping(8080,80,1)",
                                      f"sleep({PINHOLE_BOUND_MS})", "removeNATPortMapping(80,1)"],
                            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=subprocess.DEVNULL, text=True)
        out = Lines(process.stdout)
        added_at = None
        deadline = time.monotonic() + 60
        while added_at is None and time.monotonic() < deadline and process.poll() is None:
            for stamp, text in out.snapshot():
                match = LINE.match(text.strip())
                if match and match.group(2).startswith("addNATPortMapping"):
                    if match.group(3) != "true":
                        raise RuntimeError("the add failed: " + repr(out.snapshot()))
                    added_at = stamp
            time.sleep(0.005)
        if added_at is None:
            raise RuntimeError("no add answer: " + repr(out.snapshot()))
        # the prober's answer, at most the host's sleep after the add
        ready, _, _ = select.select([prober.stdout], [], [],
                                    max(0.0, added_at + PINHOLE_BOUND_MS / 1000.0 -
                                        time.monotonic()))
        words = prober.stdout.readline().split() if ready else []
        figure, tries = None, None
        if words[:1] == ["ok"]:
            figure, tries = (float(words[1]) - added_at) * 1000.0, int(words[2])
        note = ""
        if figure is not None:
            shown = hole in gw.pinholes()
            proven = gw.reach6("tcp", net.LAN_HOST6, 8080, wait=1.0)
            if not (shown and proven):
                note = f" (then: in the forward chain {shown}, reach6 {proven})"
                figure = None
        if process.wait(timeout=30) != 0:
            raise RuntimeError("the host failed: " + repr(out.snapshot()))
        out.join(5)
        answers = [LINE.match(text.strip()).group(3) for _, text in out.snapshot()
                   if LINE.match(text.strip())]
        if answers != ["true"] * 5:
            raise RuntimeError("the host's answers: " + repr(out.snapshot()))
        # sleep(...) prints no line: the remove's time is from the add's answer to the
        # remove's, less the sleep
        stamps = {match.group(2).split("(")[0]: int(match.group(1)) for match in
                  (LINE.match(text.strip()) for _, text in out.snapshot()) if match}
        removed_ms = (stamps["removeNATPortMapping"] - stamps["addNATPortMapping"]
                      - PINHOLE_BOUND_MS)
        if hole in gw.pinholes() or gw.reach6("tcp", net.LAN_HOST6, 8080, wait=0.5):
            raise RuntimeError("the pinhole was not closed by the remove: %r" % gw.pinholes())
        return figure, tries, note, removed_ms
    finally:
        if process and process.poll() is None:
            process.kill()
            process.wait()
        if process:
            process.stdout.close()
        if prober.poll() is None:
            prober.kill()
        prober.wait()
        prober.stdout.close()


def pinhole_rows(runs):
    """[(row, goal ms, [figures], [remove ms])]: from the add's return to the pinhole
    forwarding, and the remove that closes it."""
    rows = []
    for name, options, goal in PINHOLE_ROWS:
        lan = gateway.GatewayLan(ipv6=True, **options)
        box = None
        figures, removes = [], []
        try:
            lan.gateway.listen("tcp", 8080, address=lan.net.LAN_HOST6)
            box = winebox.WineBox(lan.net.lan)
            dll = portlink_dll(box)
            for number in range(runs):
                figure, tries, note, removed_ms = pinhole_run(lan, box, dll)
                removes.append(removed_ms)
                print(f"pinhole, {name}, run {number + 1}: "
                      + (f"{figure:.1f} ms after the add returned ({tries} tries)"
                         if figure is not None else
                         f"not forwarding within {PINHOLE_BOUND_MS} ms") + note
                      + f"; remove with the pinhole open {removed_ms} ms"
                      + ("; gateway log tail:\n    " + "\n    ".join(
                          lan.gateway.log().splitlines()[-25:])
                         if figure is None or figure > goal else ""), flush=True)
                figures.append(figure)
        finally:
            if box:
                box.close()
            lan.close()
        rows.append((name, goal, figures, removes))
    return rows


def pinhole_table(rows):
    """Prints the pinhole timing table; True when every goal is met."""
    print("add returned -> IPv6 pinhole forwarding (ms; a TCP connect from isp to "
          f"[{netns.Lan.LAN_HOST6}]:8080 every {PINHOLE_POLL_S * 1000:.0f} ms, "
          "then checked in the forward chain and by reach6):", flush=True)
    print(f"  {'gateway (pinhole protocol)':<36} {'runs':>4} {'median':>8} {'min':>8} "
          f"{'max':>8}  {'goal':<10} {'result':<8} remove (pinhole open, median)", flush=True)
    all_met = True
    for name, goal, figures, removes in rows:
        got = [f for f in figures if f is not None]
        met = len(got) == len(figures) and bool(got) and statistics.median(got) <= goal
        all_met = all_met and met
        text = (f"{statistics.median(got):8.1f} {min(got):8.1f} {max(got):8.1f}"
                if len(got) == len(figures) and got else
                f"{'-':>8} " + (f"{min(got):8.1f} {max(got):8.1f}" if got else
                                f"{'-':>8} {'-':>8}"))
        print(f"  {name:<36} {len(figures):>4} {text}  <= {goal:<7g} "
              f"{'met' if met else 'NOT met':<8} {statistics.median(removes):.0f} ms",
              flush=True)
    return all_met


def dual_stack_figures(runs, figures):
    """Runs and prints the dual-stack figures against `figures`, those of the IPv4-only stock
    gateway of this run."""
    dual = dual_stack_runs(runs)
    dual_ratios = []
    for key in ("first add", "add", "first remove", "remove"):
        ipv4_only = statistics.median(figures[key])
        ratio = report(f"{key}, dual-stack vs IPv4-only", dual[key], ipv4_only)
        if "add" in key:
            dual_ratios.append(ratio)
    print("  (floor here: the same figure on the stock gateway with ipv6=False, this "
          "run; each remove follows its add at once, while the pinhole is still being "
          "opened: the remove of an open one is in the pinhole table; target for the "
          "adds: ratio <= 1.05: "
          + ("met)" if max(dual_ratios) <= 1.05 else "NOT met)"), flush=True)


def pinhole_figures(runs):
    """Runs and prints the pinhole timing table."""
    print("pinholes: every goal " +
          ("met" if pinhole_table(pinhole_rows(runs)) else "NOT met"), flush=True)
