"""This build against a previous one (--previous BIN_DIR: the bin folder of an older build of
the same flavour), measured in one run: the host processes of each figure alternate between
the two builds, this one first, on the same gateway and in the same Wine prefix, `runs` of
each; one table then gives both medians, their ratio, the difference and the goal.

Each build runs its own host program (vnxhost.exe of its bin folder, started by its path)
with its own portlink.dll; the host loads the runtime stand-in ("Verimon Tessel.dll") from its
own folder, so each extension runs on the runtime it was built with.

Figures, times by the host's clock:
- stock gateway, one adapter: discovery, first add, first remove, add, remove (as actions
  measures them: the remove is of a mapping that the process holds), then one more add and,
  3 s later, its remove (the IPv4-only peer of the pinhole rows).  The process ends with the
  port mapped; a second process of the same build makes an add/remove pair of its own (its
  connections are then made), removes the port the first one left (made from this host, not
  held by this process: the present build asks the gateway about it before the delete, one
  exchange more) and a port nobody holds.
- pinholes: add returned -> IPv6 pinhole forwarding, and the remove with the pinhole open
  (3 s after the add), on each row of pinholes; beside them the remove with the UPnP pinhole
  open against the IPv4-only remove 3 s after the add, of the same build.
- restarts: each row of restarts (the UPnP one without notices only without --no-slow).
"""
import os
import re
import statistics

from testbed import gateway, netns, winebox

from .common import SEARCH, host_lines
from .pinholes import PINHOLE_BOUND_MS, PINHOLE_ROWS, pinhole_run
from .restarts import restart_plans, restart_run

# What a bin folder needs for its builds' host processes.
BUILD_FILES = ("vnxhost.exe", "portlink.dll", "Verimon Tessel.dll")
RATIO_GOAL = 1.05
ADD = "addNATPortMapping(8080,80,1)"
REMOVE = "removeNATPortMapping(80,1)"
# (command, figure that its time is, or None); a call's time is from the answer before it,
# less the sleeps in between.
HOLDER = [("startSearch()", None), ("wait-search(20000)", "search"),
          ("isSearchSucces()", None), (ADD, "first add"), (REMOVE, "first remove"),
          (ADD, "add"), (REMOVE, "remove"), (ADD, None), (f"sleep({PINHOLE_BOUND_MS})", None),
          (REMOVE, "remove 3 s after its add"), (ADD, None)]
HOLDER_ANSWERS = ["true"] * 10
OTHER = [("startSearch()", None), ("wait-search(20000)", None), ("isSearchSucces()", None),
         ("addNATPortMapping(8081,81,1)", None), ("removeNATPortMapping(81,1)", None),
         (REMOVE, "remove, not held (this host's)"),
         ("removeNATPortMapping(82,1)", "remove, nobody's port")]
# The previous build answered true for a port already gone; this one answers false.
OTHER_ANSWERS = ["true"] * 6 + [None]
SLEEP = re.compile(r"sleep\((\d+)\)")


class Build:
    """The host program and extension of one build's bin folder."""

    def __init__(self, name, bin_dir):
        self.name = name
        self.bin_dir = os.path.abspath(bin_dir)
        self.program = os.path.join(self.bin_dir, "vnxhost.exe")

    def dll(self, box):
        return box.windows_path(os.path.join(self.bin_dir, "portlink.dll"))

    def missing(self):
        return [name for name in BUILD_FILES
                if not os.path.isfile(os.path.join(self.bin_dir, name))]


def figures_of(plan, stamps_ms):
    """{figure: ms} of a host run of `plan` ((command, figure or None), ...) whose answer
    lines carry `stamps_ms` (a sleep prints none): each call's time is from the answer before
    it, less the sleeps in between; the first call has none."""
    figures, previous, slept, stamps = {}, None, 0, iter(stamps_ms)
    for command, name in plan:
        sleep = SLEEP.fullmatch(command)
        if sleep:
            slept += int(sleep.group(1))
            continue
        stamp = next(stamps)
        if name and previous is not None:
            figures[name] = stamp - previous - slept
        previous, slept = stamp, 0
    return figures


def median_of(values):
    """The median; None when there are none or a run gave no figure."""
    if not values or any(value is None for value in values):
        return None
    return statistics.median(values)


def ratio_row(name, values, against, goal=RATIO_GOAL, allowance_ms=0.0):
    """(figure, median, median against, ratio, difference ms, goal text, result) of one table
    row.  The goal is met when the median is at most goal x (the median against +
    allowance_ms); goal None: a row shown for reference."""
    median, peer = median_of(values), median_of(against)
    ratio = median / peer if median is not None and peer else None
    difference = median - peer if median is not None and peer is not None else None
    if goal is None:
        return name, median, peer, ratio, difference, "-", "(reference)"
    goal_text = f"<= {goal:g}" + (f" x (prev + {allowance_ms:.0f})" if allowance_ms else "")
    met = ratio is not None and median <= goal * (peer + allowance_ms)
    return name, median, peer, ratio, difference, goal_text, "met" if met else "NOT met"


def table_lines(title, columns, rows):
    """The printed table: a title, a header naming the two median columns, one line a row."""
    def number(value, digits):
        return f"{value:.{digits}f}" if value is not None else "-"

    width = max([len("figure"), *(len(row[0]) for row in rows)])
    lines = [title, f"  {'figure':<{width}} {columns[0]:>10} {columns[1]:>10} {'ratio':>6} "
                    f"{'diff':>8}  {'goal':<24} result"]
    for name, median, peer, ratio, difference, goal, result in rows:
        lines.append(f"  {name:<{width}} {number(median, 1):>10} {number(peer, 1):>10} "
                     f"{number(ratio, 3):>6} {number(difference, 1):>8}  {goal:<24} {result}")
    return lines


def host_figures(box, build, plan, answers):
    """One host process of `build` running `plan`, whose calls must give `answers` (None:
    any); (its figures, its answers)."""
    result = box.run(build.program, ["-v", build.dll(box), *(c for c, _ in plan)],
                     timeout=120)
    lines = host_lines(result)
    got = [answer for _, _, answer in lines]
    if result.returncode != 0 or len(got) != len(answers) or any(
            want is not None and answer != want for answer, want in zip(got, answers)):
        raise RuntimeError(f"{build.name}: run failed: {lines!r} {result.stderr[-500:]!r}")
    return figures_of(plan, [ms for ms, _, _ in lines]), got


def stock_comparison(lan, box, builds, runs):
    """{build name: {figure: [ms]}} of the stock gateway `lan`, the builds' processes in
    turn."""
    found = {build.name: {} for build in builds}
    gw = lan.gateway
    for number in range(runs):
        for build in builds:
            times, _ = host_figures(box, build, HOLDER, HOLDER_ANSWERS)
            if not gw.has_mapping("tcp", 80, netns.Lan.LAN_HOST, 8080):
                raise RuntimeError(f"{build.name}: the first process left no mapping: "
                                   f"{gw.mapping_rules()!r}")
            others, answers = host_figures(box, build, OTHER, OTHER_ANSWERS)
            times.update(others)
            if gw.mapping_rules():
                raise RuntimeError(f"{build.name}: left on the gateway: {gw.mapping_rules()!r}")
            print(f"{build.name}, stock, run {number + 1}: "
                  + ", ".join(f"{k} {v:.0f} ms" for k, v in times.items())
                  + f" (the remove of nobody's port answered {answers[-1]})", flush=True)
            for key, value in times.items():
                found[build.name].setdefault(key, []).append(value)
    return found


def pinhole_comparison(builds, runs):
    """{row name: {build name: ([ms to forwarding or None], [remove ms])}} of each pinhole
    row, the builds' processes in turn on one gateway."""
    found = {}
    for name, options, _ in PINHOLE_ROWS:
        lan = gateway.GatewayLan(ipv6=True, **options)
        box = None
        found[name] = {build.name: ([], []) for build in builds}
        try:
            lan.gateway.listen("tcp", 8080, address=lan.net.LAN_HOST6)
            box = winebox.WineBox(lan.net.lan)
            for number in range(runs):
                for build in builds:
                    figure, _, note, removed_ms = pinhole_run(lan, box, build.dll(box),
                                                              build.program)
                    print(f"{build.name}, pinhole, {name}, run {number + 1}: "
                          + (f"forwarding {figure:.1f} ms after the add returned"
                             if figure is not None else
                             f"not forwarding within {PINHOLE_BOUND_MS} ms") + note
                          + f"; remove with the pinhole open {removed_ms} ms", flush=True)
                    found[name][build.name][0].append(figure)
                    found[name][build.name][1].append(removed_ms)
        finally:
            if box:
                box.close()
            lan.close()
    return found


def restart_comparison(builds, runs, slow):
    """{row name: {build name: [ms from the daemon's start to forwarding, or None]}} of each
    restart row, the builds' processes in turn on one gateway."""
    found = {}
    for name, options, block, lead_s, bound_s, _, count in restart_plans(runs, slow):
        lan = gateway.GatewayLan(**options)
        box = None
        found[name] = {build.name: [] for build in builds}
        try:
            lan.gateway.listen("tcp", 8080)
            box = winebox.WineBox(lan.net.lan)
            for number in range(count):
                for build in builds:
                    run = restart_run(lan, box, build.dll(box), block, lead_s, bound_s,
                                      build.program)
                    figure = run["figure"]
                    print(f"{build.name}, restart, {name}, run {number + 1}: "
                          + (f"{figure:.3f} s" if figure is not None else
                             f"not within {bound_s:.0f} s"), flush=True)
                    found[name][build.name].append(None if figure is None else figure * 1000.0)
        finally:
            if box:
                box.close()
            lan.close()
    return found


def previous_figures(lan, box, previous_bin, runs, slow):
    """Runs the figures of this build (winebox.BIN) and the one in previous_bin in turn and
    prints their table; True when every goal is met.  `lan` and `box` are the stock gateway
    and its Wine box."""
    new, old = builds = (Build("this build", winebox.BIN), Build("previous", previous_bin))
    for build in builds:
        if build.missing():
            raise SystemExit(f"{build.name}: {build.bin_dir} lacks {', '.join(build.missing())}")
    print(f"against the previous build: this build {new.bin_dir}, previous {old.bin_dir}, "
          f"{runs} runs each, in turn", flush=True)
    stock = stock_comparison(lan, box, builds, runs)
    pinholes = pinhole_comparison(builds, runs)
    restarts = restart_comparison(builds, runs, slow)

    rows = [ratio_row(key, stock[new.name][key], stock[old.name][key])
            for key in ("search", "first add", "first remove", "add", "remove",
                        "remove 3 s after its add", "remove, nobody's port")]
    # A port this process does not hold costs the present build one exchange more: the
    # question before the delete, as long as a held remove (one delete).
    exchange = median_of(stock[new.name]["remove"])
    key = "remove, not held (this host's)"
    rows.append(ratio_row(key, stock[new.name][key], stock[old.name][key],
                          allowance_ms=exchange or 0.0))
    for name, by_build in pinholes.items():
        rows.append(ratio_row(f"add -> pinhole forwarding, {name}", by_build[new.name][0],
                              by_build[old.name][0]))
        rows.append(ratio_row(f"remove, pinhole open, {name}", by_build[new.name][1],
                              by_build[old.name][1]))
    for name, by_build in restarts.items():
        rows.append(ratio_row(f"restart, {name}", by_build[new.name], by_build[old.name]))
    upnp = PINHOLE_ROWS[0][0]
    same_build = [ratio_row(f"{build.name}: remove, {upnp} pinhole open",
                            pinholes[upnp][build.name][1],
                            stock[build.name]["remove 3 s after its add"],
                            goal=RATIO_GOAL if build is new else None)
                  for build in builds]
    lines = table_lines(f"this build against the previous one (median ms of {runs} runs each; "
                        "diff: this build - previous)", ("this build", "previous"), rows)
    lines += table_lines("remove with the UPnP pinhole open (dual-stack gateway) against the "
                         "IPv4-only remove 3 s after the add, same build",
                         ("pinhole", "IPv4-only"), same_build)
    if not slow:
        lines.append("  not measured: restart, UPnP, no notice (about 2 min a run; --no-slow)")
    all_met = all(row[-1] != "NOT met" for row in rows + same_build)
    lines.append("against the previous build: every goal " + ("met" if all_met else "NOT met"))
    print("\n".join(lines), flush=True)
    return all_met
