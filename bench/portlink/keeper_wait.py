"""Longest wait of an application call while the keeper works, against an unanswering gateway.

One host process searches and maps KEPT_PORTS ports on a fresh gateway; then the gateway's
port stops answering (helpers/unanswered_http.nft for UPnP, helpers/unanswered_pcp.nft for
PCP with UPnP off), and the host calls, one every CALL_GAP_MS (its sleep between answers),
remove of a mapped port and add of a new one in turn.  Each remove then answers false and
leaves its delete to the keeper thread, which sends it again a few seconds later into the same
silence, so that the later calls meet the keeper's exchanges in progress.  Calls go on for
WINDOW_S; the one in progress then is waited for (at most CALL_BOUND_S) and the host ended.
A call's time is the host's clock between its answer and the one before, less the sleep in
between; the figure is the longest time one call took beyond its own exchange's time limit
(EXCHANGE_LIMIT_MS), against a goal of one such limit: a call waits for no more than the one
keeper exchange in progress.
"""
import subprocess
import time

from testbed import gateway, winebox

from .common import SEARCH, Lines, portlink_dll, rules_in, stop

KEPT_PORTS = 10
CALL_GAP_MS = 1000
# The host sleeps this long after the last add, while the gateway is made to go silent.
SILENCE_LEAD_MS = 2000
WINDOW_S = 20.0
# Calls enough for the window had each one answered at once.
CALLS = int(WINDOW_S * 1000 // CALL_GAP_MS)
CALL_BOUND_S = 180.0
# The longest that one exchange may take by itself: an HTTP exchange polls for the answer for
# 9 s; a PCP request is resent for 2 s.
EXCHANGE_LIMIT_MS = {"UPnP": 9000, "PCP": 2000}
# row, way, gateway options, rule file that makes the gateway's port silent
ROWS = (("UPnP (stock), HTTP port silent", "UPnP", {}, "unanswered_http.nft"),
        ("PCP (UPnP off), UDP 5351 silent", "PCP", {"upnp": False, "natpmp": True},
         "unanswered_pcp.nft"))


def kept_port(index):
    """(internal, external) of the index-th port mapped before the silence; PCP names a
    mapping by its internal port, so each has its own."""
    return 8100 + index, 10100 + index


def new_port(index):
    """(internal, external) of the index-th port added during the silence."""
    return 8200 + index, 10200 + index


def call_commands(count):
    """The host's commands after the kept ports' adds: the lead sleep, then `count` calls,
    removes of kept ports and adds of new ones in turn, CALL_GAP_MS apart."""
    words = [f"sleep({SILENCE_LEAD_MS})"]
    for number in range(count):
        if number:
            words.append(f"sleep({CALL_GAP_MS})")
        if number % 2 == 0:
            words.append("removeNATPortMapping(%d,1)" % kept_port(number // 2)[1])
        else:
            words.append("addNATPortMapping(%d,%d,1)" % new_port(number // 2))
    return words


def call_times(before_ms, stamps_ms):
    """Each call's own time (ms) from the host's clock: `before_ms` is the stamp of the answer
    before the first call, `stamps_ms` those of the calls; the sleeps between them (sleep
    prints no line) are taken off."""
    times = []
    previous = before_ms
    for number, stamp in enumerate(stamps_ms):
        times.append(stamp - previous - (SILENCE_LEAD_MS if number == 0 else CALL_GAP_MS))
        previous = stamp
    return times


def longest_beyond(times_ms, limit_ms):
    """The longest time one call took beyond limit_ms (0 when every call kept within it),
    None without calls."""
    return max(max(0, t - limit_ms) for t in times_ms) if times_ms else None


def wait_run(lan, box, dll, rule_file):
    """One host process as the module's text says.  Returns (call times in ms, their
    commands and answers, whether the call in progress at the window's end went unanswered,
    how many calls answered before the silence had begun)."""
    count = CALLS
    adds = ["addNATPortMapping(%d,%d,1)" % kept_port(i) for i in range(KEPT_PORTS)]
    host = box.popen("vnxhost.exe", ["-v", dll, *SEARCH, *adds, *call_commands(count)],
                     stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                     stderr=subprocess.DEVNULL, text=True)
    out = Lines(host.stdout)
    silent = False
    try:
        ready = len(SEARCH) + KEPT_PORTS
        answered = out.wait_answers(ready, 120, host)
        if [answer for _, _, _, answer in answered[:ready]] != ["true"] * ready:
            raise RuntimeError("the host did not map its ports: " + repr(out.snapshot()))
        rules_in(lan.net.gw, rule_file, True)
        silent = True
        early = len(out.answers()) - ready
        window_end = time.monotonic() + SILENCE_LEAD_MS / 1000.0 + WINDOW_S
        # Answers are waited for until one comes after the window's end (or the host ran
        # out of calls); the call in progress then is given CALL_BOUND_S.
        while time.monotonic() < window_end and host.poll() is None:
            time.sleep(0.05)
        known = len(out.answers())
        calls = out.wait_answers(known + 1, CALL_BOUND_S, host)[ready:]
        unanswered = len(calls) < count and len(calls) == known - ready
    finally:
        stop(host)
        out.join(5)
        host.stdout.close()
        if silent:
            rules_in(lan.net.gw, rule_file, False)
    before = out.answers()[ready - 1][1]
    times = call_times(before, [ms for _, ms, _, _ in calls])
    return times, [(command, answer) for _, _, command, answer in calls], unanswered, early


def wait_rows():
    """[(row, limit ms, figure ms or None, calls, unanswered)] for each of ROWS."""
    rows = []
    for name, way, options, rule_file in ROWS:
        lan = gateway.GatewayLan(**options)
        box = None
        try:
            box = winebox.WineBox(lan.net.lan)
            times, calls, unanswered, early = wait_run(lan, box, portlink_dll(box), rule_file)
        finally:
            if box:
                box.close()
            lan.close()
        limit = EXCHANGE_LIMIT_MS[way]
        figure = longest_beyond(times, limit)
        print(f"keeper wait, {name}: {len(times)} calls, "
              + ", ".join(f"{'add' if command.startswith('add') else 'remove'} {ms} ms {answer}"
                          for ms, (command, answer) in zip(times, calls))
              + (f"; the call after them unanswered after {CALL_BOUND_S:.0f} s"
                 if unanswered else "")
              + (f"; {early} calls answered before the gateway went silent" if early else ""),
              flush=True)
        rows.append((name, limit, figure, len(times), unanswered))
    return rows


def keeper_wait_figures():
    """Runs and prints the table; True when every goal is met."""
    rows = wait_rows()
    print("longest wait of an application call beyond its own exchange's time limit, while the "
          f"keeper's exchanges go unanswered (a call every {CALL_GAP_MS} ms for "
          f"{WINDOW_S:.0f} s):", flush=True)
    print(f"  {'gateway, what goes silent':<36} {'calls':>5} {'beyond':>10}  {'goal':<11} result",
          flush=True)
    all_met = True
    for name, limit, figure, calls, unanswered in rows:
        met = figure is not None and not unanswered and figure <= limit
        all_met = all_met and met
        # A call still unanswered at the bound waited longer than any figure shown.
        text = ("unanswered" if unanswered else f"{'-':>10}" if figure is None else
                f"{figure:7d} ms")
        print(f"  {name:<36} {calls:>5} {text:>10}  <= {limit:<5d} ms "
              + ("met" if met else "NOT met"), flush=True)
    print("keeper wait: every goal " + ("met" if all_met else "NOT met"), flush=True)
    return all_met
