"""Figures for chordwatch under Wine, in one prefix inside a loopback-only namespace:

- start to "2": from Popen of `wine chordwatch.exe 2 4 65` (Wine's process start included)
  to the arrival of the "2" line on the pipe, median over RUNS starts; the start of a program
  that does nothing (chord_atoms now, to its exit) is printed beside it as the floor;
- press to "3": chord_press reads one command a line from stdin; the time from writing
  "press" to the arrival of chordwatch's "3" line, median over PRESSES presses, with the
  round trip of a "ping" (no SendInput) as the pipe-and-wake-up baseline;
- peak working set: PeakWorkingSetSize from GetProcessMemoryInfo on the running chordwatch
  (chord_ctl mem), and VmHWM of the Wine process from /proc (the Linux view, Wine's own
  mappings included), both after the presses.

    PYTHONPATH=. python3 bench/chordwatch_bench.py [RUNS] [PRESSES]   (WINE_FLAVOUR=win64 for PE32+)
"""
import statistics
import subprocess
import sys
import time

from testbed import netns, winebox
from tests.wine.test_chordwatch import Watcher, ctl

CTRL_SHIFT, VK_A = 6, 65


def ms(seconds):
    return "%.1f ms" % (seconds * 1000.0)


def median_and_range(values):
    return "median %s (min %s, max %s)" % (ms(statistics.median(values)), ms(min(values)),
                                           ms(max(values)))


def start_times(box, runs):
    floor, to_start, to_two = [], [], []
    for _ in range(runs):
        t = time.monotonic()
        box.run("chord_atoms.exe", ["now"], timeout=60)
        floor.append(time.monotonic() - t)
        w = Watcher(box, ["2", "4", "65"], name="bench")
        try:
            raw, at_start = w.next()
            assert raw == b"startHotkey\r\n", raw
            raw, at_two = w.next()
            assert raw == b"2\r\n", raw
            to_start.append(at_start - w.started)
            to_two.append(at_two - w.started)
        finally:
            w.stop()
    return floor, to_start, to_two


def press_times(box, presses):
    w = Watcher(box, ["2", "4", "65"], name="bench")
    presser = box.popen("chord_press.exe", [str(CTRL_SHIFT), str(VK_A), "-"],
                        stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    try:
        assert w.line() == "startHotkey" and w.line() == "2"

        def command(text, reply):
            t = time.monotonic()
            presser.stdin.write(text + b"\n")
            presser.stdin.flush()
            line = presser.stdout.readline()
            assert line.startswith(reply), line
            return t, time.monotonic()

        pings = []
        for _ in range(5):
            t0, t1 = command(b"ping", b"pong")
            pings.append(t1 - t0)
        latencies = []
        for _ in range(presses):
            t0, _ = command(b"press", b"sent")
            raw, at = w.next(timeout=30)
            assert raw == b"3\r\n", raw
            latencies.append(at - t0)
            time.sleep(0.05)
        winpid = ctl(box, "pids", "chordwatch.exe")[0]
        mem = ctl(box, "mem", winpid)[0].split()
        peak_windows = int(mem[1])
        with open("/proc/%d/status" % w.proc.pid) as status:
            fields = dict(line.split(":", 1) for line in status if ":" in line)
        hwm_kib = int(fields["VmHWM"].split()[0])
        return pings, latencies, peak_windows, hwm_kib
    finally:
        presser.stdin.close()
        presser.wait(timeout=20)
        presser.stdout.close()
        w.stop()


def main():
    runs = int(sys.argv[1]) if len(sys.argv) > 1 else 10
    presses = int(sys.argv[2]) if len(sys.argv) > 2 else 20
    ns = netns.Namespace("cwb")
    box = winebox.WineBox(ns)
    try:
        box.run("chordwatch.exe", [], timeout=60)  # warm the file cache
        floor, to_start, to_two = start_times(box, runs)
        pings, latencies, peak_windows, hwm_kib = press_times(box, presses)
    finally:
        box.close()
        ns.delete()
    print("chordwatch under Wine, one prefix in a loopback-only namespace")
    print("start to \"startHotkey\" (%d starts): %s" % (runs, median_and_range(to_start)))
    print("start to \"2\"           (%d starts): %s" % (runs, median_and_range(to_two)))
    print("  floor: start to exit of a program that does nothing: %s" % median_and_range(floor))
    print("press to \"3\"           (%d presses): %s" % (presses, median_and_range(latencies)))
    print("  baseline: command round trip to the presser without SendInput: %s"
          % median_and_range(pings))
    print("peak working set: %d KiB (GetProcessMemoryInfo PeakWorkingSetSize), "
          "%d KiB (VmHWM of the Wine process, /proc)" % (peak_windows // 1024, hwm_kib))


if __name__ == "__main__":
    main()
