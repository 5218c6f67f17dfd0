"""Router restarts: from the new daemon's start to the mapping forwarding again.

One host process per figure searches, maps 8080 -> 80 (TCP) and sleeps while the gateway
restarts (the daemon stopped, its rules flushed, started again); from then on the WAN port is
tried from the isp namespace every 50 ms, and the figure is the time from the new daemon's
start to the return of the first try whose connection reached the LAN listener.  Rows: UPnP
learning the restart from SSDP NOTIFY (goal 2 s) and PCP from the ANNOUNCE (goal 1 s), both
restarted 6 s after the add answered (a notice makes a mapping due no earlier than 5 s after
its last exchange); then without notices (a rule in the LAN host's namespace drops incoming UDP
to 1900 and 5350; the gateway is as shipped): PCP with max_lifetime=20, restarted 2 s after
the grant, against the renewal request seen on the LAN veth + 1 s (half the granted lifetime
after the last grant is printed beside it), and UPnP (goal 125 s, once per bench run; --no-slow
skips it).  A watcher on the LAN veth (helpers/watcher.py) records notices and the host's
requests; a run that misses its goal prints the host's lines, what the watcher saw and the
gateway log around the restart.
"""
import re
import statistics
import subprocess
import time

from testbed import gateway, winebox

from .common import LINE, SEARCH, Lines, helper, portlink_dll, rules_in

BLOCK_NOTICES = "block_notices.nft"

# A counted notice makes each kept mapping due no earlier than 5 s after its last exchange
# (kNoticeCheckGapMs), so the gateway restarts this long after the add was answered: the
# figure is then the reaction to the restart, not that gap.
NOTICE_ROW_LEAD_S = 6.0
# PCP without notices: max_lifetime of the gateway (renewal at half of it), and how long
# after the grant the restart comes (the renewal is then about 8 s after the start).
PCP_SHORT_LIFETIME = 20
PCP_SHORT_LEAD_S = 2.0
POLL_S = 0.05


class Watch:
    """helpers/watcher.py on the LAN host's veth; events() gives (time, text) of what it
    saw."""

    def __init__(self, net):
        self.process = net.lan.popen(["python3", "-u", helper("watcher.py"), net.lan_if],
                                     stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                     stderr=subprocess.DEVNULL, text=True)
        if self.process.stdout.readline().strip() != "ready":
            self.process.kill()
            raise RuntimeError("the LAN watcher did not start")
        self._lines = Lines(self.process.stdout)

    def events(self):
        found = []
        for _, text in self._lines.snapshot():
            stamp, _, rest = text.partition(" ")
            found.append((float(stamp), rest))
        return found

    def close(self):
        self.process.kill()
        self.process.wait()
        self._lines.join(5)
        self.process.stdout.close()


def notices_blocked(ns, on):
    """Loads helpers/block_notices.nft into namespace `ns`, or takes it away again."""
    rules_in(ns, BLOCK_NOTICES, on)


def notices_dropped(ns):
    """Packets the drop rule counted (None when it is not there)."""
    out = ns.run(["nft", "list", "table", "inet", "portlink_bench"], check=False).stdout
    match = re.search(r"counter packets (\d+)", out)
    return int(match.group(1)) if match else None


def restart_log(gateway_log, before=6, after=40):
    """The gateway log lines around the last restart."""
    lines = gateway_log.splitlines()
    marks = [i for i, line in enumerate(lines) if line.startswith("---- restart")]
    at = marks[-1] if marks else len(lines)
    return lines[max(0, at - before):at + after]


def restart_run(lan, box, dll, block, lead_s, bound_s, program="vnxhost.exe"):
    """One host process: search, add 8080 -> 80 TCP, sleep; lead_s after the add answered, the
    gateway restarts, and from then on the WAN port is tried from isp every POLL_S until a
    connection reaches the LAN listener, at most bound_s after the daemon's start.  Returns
    a dict: figure (s from the start to the return of the first reach that got through, or
    None), the start, the host's lines, what the LAN watcher saw, the drop count and the
    gateway log around the restart.  `program` is the host program of dll's build."""
    gw = lan.gateway
    sleep_ms = int((lead_s + 20 + bound_s + 30) * 1000)
    watch = Watch(lan.net)
    host = box.popen(program, ["-v", dll, *SEARCH, "addNATPortMapping(8080,80,1)",
                            f"sleep({sleep_ms})", "removeNATPortMapping(80,1)", "unload"],
                     stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                     stderr=subprocess.DEVNULL, text=True)
    out = Lines(host.stdout)
    run = {"figure": None, "started": None, "dropped": None, "tries": 0}
    try:
        added_at = None
        deadline = time.monotonic() + 60
        while added_at is None and time.monotonic() < deadline and host.poll() is None:
            for stamp, text in out.snapshot():
                match = LINE.match(text.strip())
                if match and match.group(2).startswith("addNATPortMapping"):
                    added_at = stamp
                    if match.group(3) != "true":
                        raise RuntimeError("the add failed: " + repr(out.snapshot()))
            time.sleep(0.02)
        if added_at is None:
            raise RuntimeError("no add answer: " + repr(out.snapshot()))
        if not gw.reach("tcp", 80):
            raise RuntimeError("the mapping did not forward before the restart")
        if block:
            notices_blocked(lan.net.lan, True)
        time.sleep(max(0.0, added_at + lead_s - time.monotonic()))
        started = gw.restart()
        run["started"] = started
        while time.monotonic() < started + bound_s:
            tried = time.monotonic()
            run["tries"] += 1
            if gw.reach("tcp", 80, wait=1.0):
                run["figure"] = time.monotonic() - started
                run["tried"] = tried - started
                break
            time.sleep(max(0.0, tried + POLL_S - time.monotonic()))
        if block:
            run["dropped"] = notices_dropped(lan.net.lan)
    finally:
        if block:
            notices_blocked(lan.net.lan, False)
        # The host would sleep on: it is ended here (its pid), and the gateway restarted once
        # more, so that the next run starts from a gateway without its mapping.
        host.terminate()
        try:
            host.wait(timeout=20)
        except subprocess.TimeoutExpired:
            host.kill()
            host.wait()
        out.join(5)
        host.stdout.close()
        run["host"] = [text for _, text in out.snapshot()]
        run["events"] = watch.events()
        watch.close()
        run["log"] = restart_log(gw.log())
        gw.restart()
    return run


def renewal_of(run):
    """(scheduled, seen) for a PCP mapping kept without notices, both in s after the start:
    the last MAP answer before the start plus half the lifetime it granted, and the first MAP
    request the host sent after the start (None when there was none)."""
    started = run["started"]
    grants = [(t, text) for t, text in run["events"]
              if t < started and "PCP MAP answer result=0" in text]
    scheduled = None
    if grants:
        t, text = grants[-1]
        lifetime = int(re.search(r"lifetime=(\d+)", text).group(1))
        scheduled = t + lifetime / 2.0 - started
    seen = next((t - started for t, text in run["events"]
                 if t >= started and text.startswith("out ") and "PCP MAP request" in text), None)
    return scheduled, seen


def describe_run(run, limit=60):
    """The evidence of one run: host lines, what the LAN saw from 2 s before the start, the
    drop count and the gateway log around the restart."""
    started = run["started"] or 0.0
    print("    host:", flush=True)
    for text in run["host"]:
        print("      " + text, flush=True)
    seen = [(t - started, text) for t, text in run["events"] if t >= started - 2.0]
    print(f"    on the LAN veth from 2 s before the start ({len(seen)} lines"
          + (f", the first {limit}" if len(seen) > limit else "") + "; s after the start):",
          flush=True)
    for t, text in seen[:limit]:
        print(f"      {t:+8.3f} {text}", flush=True)
    if run["dropped"] is not None:
        print(f"    dropped by the LAN host's rule: {run['dropped']} datagrams", flush=True)
    print("    gateway log around the restart:", flush=True)
    for line in run["log"]:
        print("      " + line, flush=True)


def first_after(run, needle, side=None):
    started = run["started"]
    return next((t - started for t, text in run["events"] if t >= started and needle in text
                 and (side is None or text.startswith(side + " "))), None)


def restart_plans(runs, slow):
    """(row, gateway options, block notices, lead s, bound s, goal s or None (renewal + 1 s),
    runs) of each restart figure; the UPnP one without notices only when slow."""
    return [
        ("UPnP, NOTIFY", {}, False, NOTICE_ROW_LEAD_S, 15.0, 2.0, runs),
        ("PCP, ANNOUNCE", {"upnp": False, "natpmp": True}, False, NOTICE_ROW_LEAD_S, 15.0, 1.0,
         runs),
        (f"PCP, no notice (lifetime {PCP_SHORT_LIFETIME} s)",
         {"upnp": False, "natpmp": True, "max_lifetime": PCP_SHORT_LIFETIME}, True,
         PCP_SHORT_LEAD_S, 2.0 * PCP_SHORT_LIFETIME, None, runs),
        *([("UPnP, no notice", {}, True, NOTICE_ROW_LEAD_S, 150.0, 125.0, 1)] if slow else []),
    ]


def restart_rows(runs, slow):
    """The four restart figures.  Returns [(row, goal text, [figures], [goals], extra)]."""
    rows = []
    for name, options, block, lead_s, bound_s, goal, count in restart_plans(runs, slow):
        lan = gateway.GatewayLan(**options)
        box = None
        figures, goals, notes = [], [], []
        try:
            lan.gateway.listen("tcp", 8080)
            box = winebox.WineBox(lan.net.lan)
            dll = portlink_dll(box)
            for number in range(count):
                run = restart_run(lan, box, dll, block, lead_s, bound_s)
                figure = run["figure"]
                text = "not within %.0f s" % bound_s if figure is None else f"{figure:.3f} s"
                extra = ""
                if goal is None:
                    scheduled, seen = renewal_of(run)
                    run_goal = None if seen is None else seen + 1.0
                    extra = (f"; renewal due +{scheduled:.3f} s (last grant + half its lifetime)"
                             if scheduled is not None else "; no grant seen before the start")
                    extra += (f", renewal request seen +{seen:.3f} s" if seen is not None else
                              ", no renewal request seen")
                    notes.append((scheduled, seen))
                else:
                    run_goal = goal
                    notice = first_after(run, "SSDP NOTIFY" if "UPnP" in name else "ANNOUNCE",
                                         "in")
                    extra = ("; first notice on the LAN veth " +
                             (f"+{notice:.3f} s" if notice is not None else "none"))
                    action = first_after(run, "SOAP" if "UPnP" in name else "PCP MAP request",
                                         "out")
                    extra += (", first request of the host " +
                              (f"+{action:.3f} s" if action is not None else "none"))
                if block:
                    extra += f"; notices dropped at the LAN host: {run['dropped']}"
                print(f"restart, {name}, run {number + 1}: {text} (from the daemon's start to "
                      f"the first connection through; that try began +{run.get('tried', 0):.3f}"
                      f" s, {run['tries']} tries){extra}", flush=True)
                met = figure is not None and run_goal is not None and figure <= run_goal
                if not met:
                    print("  this run misses its goal; evidence:", flush=True)
                    describe_run(run)
                figures.append(figure)
                goals.append(run_goal)
        finally:
            if box:
                box.close()
            lan.close()
        rows.append((name, goal, figures, goals, notes))
    return rows


def restart_table(rows):
    """Prints the table of the restart figures; True when every goal is met."""
    print("router restart -> mapping forwarding again (s from the new daemon's start; "
          "median of the runs):", flush=True)
    print(f"  {'gateway, how the restart is learned':<36} {'runs':>4} {'median':>8} "
          f"{'min':>8} {'max':>8}  {'goal':<28} {'runs in goal':>12}  result", flush=True)
    all_met = True
    for name, goal, figures, goals, notes in rows:
        got = [f for f in figures if f is not None]
        inside = sum(1 for f, g in zip(figures, goals) if f is not None and g is not None
                     and f <= g)
        if goal is None:
            seen = [s for _, s in notes if s is not None]
            due = [d for d, _ in notes if d is not None]
            goal_text = (f"<= renewal + 1 s ({statistics.median(seen) + 1:.3f})" if seen
                         else "<= renewal + 1 s (none seen)")
            lateness = [f - g for f, g in zip(figures, goals) if f is not None and g is not None]
            met = (len(got) == len(figures) and len(lateness) == len(figures)
                   and statistics.median(lateness) <= 0.0)
        else:
            goal_text = f"<= {goal:g} s"
            met = len(got) == len(figures) and statistics.median(got) <= goal
        all_met = all_met and met
        if got:
            median = statistics.median(figures) if len(got) == len(figures) else None
            figures_text = (f"{median:8.3f}" if median is not None else f"{'-':>8}") + \
                f" {min(got):8.3f} {max(got):8.3f}"
        else:
            figures_text = f"{'-':>8} {'-':>8} {'-':>8}"
        print(f"  {name:<36} {len(figures):>4} {figures_text}  {goal_text:<28} "
              f"{inside:>6}/{len(figures):<5}  {'met' if met else 'NOT met'}", flush=True)
        if goal is None:
            print(f"  {'':<36} renewal due (median): "
                  + (f"+{statistics.median(due):.3f} s" if due else "-")
                  + ", renewal request seen (median): "
                  + (f"+{statistics.median(seen):.3f} s" if seen else "-")
                  + f"; gateway max_lifetime={PCP_SHORT_LIFETIME} s", flush=True)
    return all_met


def restart_figures(runs, slow):
    """Runs and prints the restart figures (the UPnP one without notices only when slow)."""
    restarts = restart_rows(runs, slow=slow)
    print("router restarts: every goal " +
          ("met" if restart_table(restarts) else "NOT met"), flush=True)
