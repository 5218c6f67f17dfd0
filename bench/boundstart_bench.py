"""Start cost of the launcher: from process creation until the runtime's entry has run,
Boundstart.exe (private copy found, loaded, entry called) against box_direct_entry.exe, which
loads the same stand-in runtime by its full path and calls the entry with no search at all.

Both are started by box_spawn inside one Wine prefix (in a loopback-only namespace); the
stand-in's entry returns at once, so the time to the child's end is the time to the entry
plus the same process exit for both.  Prints median and mean per program and their ratio.

    PYTHONPATH=. python3 bench/boundstart_bench.py [RUNS]      (WINE_FLAVOUR=win64 for PE32+)
"""
import os
import re
import shutil
import statistics
import sys

from testbed import netns, winebox, workspace

PRIVATE_PARTS = ("Verimon Tessel", "Versions", "1.0", "Verimon Tessel.dll")
ELAPSED = re.compile(r"^exit=0 elapsed_us=(\d+)\r?$", re.M)


def measure(box, runs, program, args=()):
    box.run("box_spawn.exe", ["2", program, *args], timeout=120)  # warm the file cache
    out = box.run("box_spawn.exe", [str(runs), program, *args], timeout=60 + 10 * runs,
                  env={"VNX_STANDIN_EXIT": "0"}).stdout.decode("utf-8", "replace")
    times = [int(t) / 1000.0 for t in ELAPSED.findall(out)]
    if len(times) != runs:
        raise RuntimeError("unexpected output from %s:\n%s" % (program, out))
    return times


def main():
    runs = int(sys.argv[1]) if len(sys.argv) > 1 else 30
    ns = netns.Namespace("bsb")
    box = winebox.WineBox(ns)
    folder = workspace.work_dir("boundstart-bench")
    try:
        exe = os.path.join(folder, "Boundstart.exe")
        shutil.copyfile(os.path.join(winebox.BIN, "Boundstart.exe"), exe)
        library = os.path.join(folder, *PRIVATE_PARTS)
        os.makedirs(os.path.dirname(library))
        shutil.copyfile(os.path.join(winebox.BIN, "Verimon Tessel.dll"), library)
        launcher = measure(box, runs, box.windows_path(exe))
        direct = measure(box, runs, box.windows_path(os.path.join(winebox.BIN,
                                                                  "box_direct_entry.exe")),
                         [box.windows_path(library)])
        print("runs per program: %d, one Wine prefix in a loopback-only namespace" % runs)
        for name, times in (("Boundstart.exe", launcher), ("direct load", direct)):
            print("%-16s median %8.2f ms   mean %8.2f ms   min %8.2f ms" %
                  (name, statistics.median(times), statistics.mean(times), min(times)))
        print("ratio launcher/direct (median): %.3f" %
              (statistics.median(launcher) / statistics.median(direct)))
    finally:
        box.close()
        ns.delete()
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    main()
