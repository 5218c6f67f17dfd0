"""Pieces shared by the portlink figures: host runs and their answer lines, the report line,
a reader that stamps a process's lines as they arrive, and the helper files."""
import os
import re
import statistics
import subprocess
import threading
import time

from testbed import gateway, winebox

HELPERS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "helpers")
# The repository's root, for programs of the test bed started as modules (testbed.fakegw).
ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

FLOOR_SEARCH_MS = 1500.0
FLOOR_ACTION_MS = 500.0
# With UPnP off, the PCP answer is read at the first poll of the search.
FLOOR_PCP_SEARCH_MS = 1000.0
LINE = re.compile(r"^\[\s*(\d+) ms\] (\S+) = (.*)$")
SEARCH = ["startSearch()", "wait-search(20000)", "isSearchSucces()"]


def helper(name):
    """The path of a helper program or rule file of the bench."""
    return os.path.join(HELPERS, name)


def portlink_dll(box):
    return box.windows_path(os.path.join(winebox.BIN, "portlink.dll"))


def host_lines(result):
    """(ms, command, answer) for every -v line of a host run."""
    lines = []
    for text in result.stdout.decode(errors="replace").splitlines():
        match = LINE.match(text.strip())
        if match:
            lines.append((int(match.group(1)), match.group(2), match.group(3)))
    return lines


def one_run(box, dll):
    """One host process: search, then two add/remove pairs; the second pair is the action
    alone, after the process has made its first connections."""
    result = box.run("vnxhost.exe", ["-v", dll, *SEARCH, "addNATPortMapping(8080,80,1)",
                                     "removeNATPortMapping(80,1)", "addNATPortMapping(8080,80,1)",
                                     "removeNATPortMapping(80,1)"], timeout=120)
    lines = host_lines(result)
    answers = [answer for _, _, answer in lines]
    if result.returncode != 0 or answers != ["true"] * 7:
        raise RuntimeError("run failed: %r %r" % (lines, result.stderr[-500:]))
    t = [ms for ms, _, _ in lines]
    return {"search": t[1] - t[0], "first add": t[3] - t[2], "first remove": t[4] - t[3],
            "add": t[5] - t[4], "remove": t[6] - t[5]}


def gateway_runs(runs, label, left, amend=lambda times: None, **options):
    """one_run's figures, `runs` host processes on one fresh GatewayLan(**options); `left`
    tells what a run left on the gateway (anything stops the bench), `amend` adds figures to
    each run's."""
    lan = gateway.GatewayLan(**options)
    box = None
    figures = {}
    try:
        box = winebox.WineBox(lan.net.lan)
        dll = portlink_dll(box)
        for run in range(runs):
            times = one_run(box, dll)
            amend(times)
            if left(lan.gateway):
                raise RuntimeError("left on the gateway: %r" % (left(lan.gateway),))
            print(f"{label}, run {run + 1}: " + ", ".join(f"{k} {v:.0f} ms"
                                                         for k, v in times.items()), flush=True)
            for key, value in times.items():
                figures.setdefault(key, []).append(value)
    finally:
        if box:
            box.close()
        lan.close()
    return figures


def report(name, values, floor):
    median = statistics.median(values)
    print(f"{name:<36} runs={len(values)} median={median:7.1f} ms  min={min(values):6.0f}"
          f"  max={max(values):6.0f}  floor={floor:6.0f} ms  ratio={median / floor:.3f}",
          flush=True)
    return median / floor


class Lines:
    """A thread that reads a process's stdout and keeps (monotonic arrival time, line)."""

    def __init__(self, stream):
        self.lines = []
        self._lock = threading.Lock()
        self._thread = threading.Thread(target=self._read, args=(stream,), daemon=True)
        self._thread.start()

    def _read(self, stream):
        for text in stream:
            with self._lock:
                self.lines.append((time.monotonic(), text.rstrip("\n")))

    def snapshot(self):
        with self._lock:
            return list(self.lines)

    def answers(self):
        """(arrival time, ms, command, answer) of each -v answer line so far."""
        found = []
        for stamp, text in self.snapshot():
            match = LINE.match(text.strip())
            if match:
                found.append((stamp, int(match.group(1)), match.group(2), match.group(3)))
        return found

    def wait_answers(self, count, bound_s, process):
        """answers() once there are at least `count`, or when bound_s ran out or the process
        ended first (then fewer)."""
        deadline = time.monotonic() + bound_s
        while True:
            found = self.answers()
            if (len(found) >= count or time.monotonic() >= deadline
                    or (process.poll() is not None and not self._thread.is_alive())):
                return found
            time.sleep(0.01)

    def join(self, timeout):
        self._thread.join(timeout)


def rules_in(ns, rule_file, on):
    """Loads a rule file of helpers/ into namespace `ns`, or takes its table away again (every
    such file makes one table, named on its first "table" line)."""
    if on:
        ns.run(["nft", "-f", helper(rule_file)])
        return
    with open(helper(rule_file)) as f:
        family, name = next(line.split()[1:3] for line in f if line.startswith("table "))
    ns.run(["nft", "delete", "table", family, name], check=False)


def stop(process):
    """Ends a process of ours (by its pid) and waits for it."""
    if process.poll() is None:
        process.terminate()
        try:
            process.wait(timeout=20)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
