"""Behind two routers (testbed/two_routers.py: the scripted inner router, the real daemon as
the outer one): the add's own time against the same add behind one router, and the time from
the add's return to the port forwarding through both.

"One router" is the same lab with the inner router reporting a public external address: the
same router answers the add, and portlink does nothing beyond it, so the ratio is what the
second mapping costs the application's call (goal <= 1.05: the outer mapping is made after the
add has answered).  Host processes of the two labs run in turn, `runs` of each, each one
search, add 8080 -> 80 (TCP), sleep, remove; times by the host's clock.  For the forwarding
figure a prober in the isp namespace (helpers/pinhole_prober.py) starts a TCP connection to
the outer router's WAN address (100.200.0.2:80) every 20 ms from before the host starts; the
first one that the LAN listener answers ends the figure, counted from the arrival of the add's
answer line here (goal: 5 s).  The remove beside them, of both mappings against one, is shown
for reference.
"""
import select
import statistics
import subprocess
import time

from testbed import winebox
from testbed.two_routers import TwoRouterLab

from .against_previous import figures_of, ratio_row, table_lines
from .common import LINE, Lines, helper, portlink_dll, stop

ADD = "addNATPortMapping(8080,80,1)"
# The host sleeps this long after the add (the prober's bound), then removes.
FORWARD_BOUND_MS = 6000
FORWARD_GOAL_MS = 5000.0
PROBE_POLL_S = 0.02
PROBE_TIMEOUT_S = 0.015
PLAN = [("startSearch()", None), ("wait-search(20000)", "search"), ("isSearchSucces()", None),
        (ADD, "add"), (f"sleep({FORWARD_BOUND_MS})", None),
        ("removeNATPortMapping(80,1)", "remove")]
ANSWERS = ["true"] * 5


def double_nat_run(lab, box, dll, probe):
    """One host process of PLAN in `lab`; with `probe`, the time (ms) from the add's answer
    line to the first connection from isp forwarded through both routers (None: none within
    FORWARD_BOUND_MS).  Returns ({figure: ms}, forwarded ms or None)."""
    prober = None
    if probe:
        prober = lab.net.isp.popen(["python3", "-u", helper("pinhole_prober.py"),
                                    lab.net.OUTER_WAN, "80", str(PROBE_POLL_S),
                                    str(PROBE_TIMEOUT_S), "60"],
                                   stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                   stderr=subprocess.DEVNULL, text=True)
    process = None
    try:
        if prober and prober.stdout.readline().strip() != "ready":
            raise RuntimeError("the prober did not start")
        process = box.popen("vnxhost.exe", ["-v", dll, *(command for command, _ in PLAN)],
                            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=subprocess.DEVNULL, text=True)
        out = Lines(process.stdout)
        added = out.wait_answers(4, 60, process)
        if len(added) < 4 or added[3][3] != "true":
            raise RuntimeError("no add answered true: " + repr(out.snapshot()))
        forwarded = None
        if prober:
            ready, _, _ = select.select([prober.stdout], [], [], max(
                0.0, added[3][0] + FORWARD_BOUND_MS / 1000.0 - time.monotonic()))
            words = prober.stdout.readline().split() if ready else []
            if words[:1] == ["ok"]:
                forwarded = (float(words[1]) - added[3][0]) * 1000.0
        if process.wait(timeout=30) != 0:
            raise RuntimeError("the host failed: " + repr(out.snapshot()))
        out.join(5)
        answers = out.answers()
        if [answer for *_, answer in answers] != ANSWERS:
            raise RuntimeError("the host's answers: " + repr(out.snapshot()))
        deadline = time.monotonic() + 2.0
        while _left(lab) and time.monotonic() < deadline:
            time.sleep(0.05)
        if _left(lab):
            raise RuntimeError("left on the routers after the remove: %r" % (_left(lab),))
        return figures_of(PLAN, [ms for _, ms, _, _ in answers]), forwarded
    finally:
        if process:
            stop(process)
            process.stdout.close()
        if prober:
            stop(prober)
            prober.stdout.close()


def _left(lab):
    return lab.inner.mapping_rules() + (lab.outer.mapping_rules() if lab.outer else [])


def double_nat_figures(runs):
    """Runs and prints the two-router figures."""
    labs, boxes = [], []
    two, one, forwarded = {}, {}, []
    try:
        for public in (False, True):
            labs.append(TwoRouterLab(public=public))
            labs[-1].listen("tcp", 8080)
            boxes.append(winebox.WineBox(labs[-1].net.lan))
        for number in range(runs):
            for lab, box, figures, name in ((labs[0], boxes[0], two, "two routers"),
                                            (labs[1], boxes[1], one, "one router")):
                times, took = double_nat_run(lab, box, portlink_dll(box), lab is labs[0])
                for key, value in times.items():
                    figures.setdefault(key, []).append(value)
                if lab is labs[0]:
                    forwarded.append(took)
                print(f"{name}, run {number + 1}: "
                      + ", ".join(f"{k} {v:.0f} ms" for k, v in times.items())
                      + (("; forwarded through both " + (f"{took:.0f} ms" if took is not None
                                                          else "not")
                          + f" after the add returned") if lab is labs[0] else ""), flush=True)
    finally:
        for box in boxes:
            box.close()
        for lab in labs:
            lab.close()
    rows = [ratio_row("add", two["add"], one["add"]),
            ratio_row("search", two["search"], one["search"], goal=None),
            ratio_row("remove (both mappings / one)", two["remove"], one["remove"], goal=None)]
    print("\n".join(table_lines("behind two routers against one (the inner router reporting a "
                                "public address), medians in ms:", ("two", "one"), rows)),
          flush=True)
    got = [f for f in forwarded if f is not None]
    print("add returned -> forwarded through both (isp -> 100.200.0.2:80 every "
          f"{PROBE_POLL_S * 1000:.0f} ms): "
          + (f"median {statistics.median(got):.0f} ms, min {min(got):.0f}, max {max(got):.0f}"
             if got else "never")
          + f", {len(got)} of {len(forwarded)} runs within {FORWARD_BOUND_MS} ms; goal "
          f"<= {FORWARD_GOAL_MS:.0f} ms: "
          + ("met" if got and len(got) == len(forwarded) and max(got) <= FORWARD_GOAL_MS
             else "NOT met"), flush=True)
