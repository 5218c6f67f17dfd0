"""The soak: add/remove cycles in one host process, with the host's memory and handle figures
at the start and the end."""
import os
import subprocess
import time

from .common import LINE, SEARCH


def linux_rss_kb(prefix):
    """Resident size of the host process of this Wine prefix, as Linux counts it (-1 when
    it cannot be found)."""
    for pid in os.listdir("/proc"):
        if not pid.isdigit():
            continue
        try:
            with open(f"/proc/{pid}/cmdline", "rb") as f:
                if b"vnxhost.exe" not in f.read():
                    continue
            with open(f"/proc/{pid}/environ", "rb") as f:
                if f"WINEPREFIX={prefix}".encode() not in f.read().split(b"\0"):
                    continue
            with open(f"/proc/{pid}/status") as f:
                for line in f:
                    if line.startswith("VmRSS:"):
                        return int(line.split()[1])
        except OSError:
            continue
    return -1


def soak(box, dll, cycles):
    chunk = max(1, cycles // 2)
    words = ["-v", dll, *SEARCH,
             # a few cycles first, so that one-time allocations are not counted as growth
             "repeat(10)", "addNATPortMapping(8080,80,1)", "removeNATPortMapping(80,1)", "end",
             "stats"]
    done = 0
    while done < cycles:
        n = min(chunk, cycles - done)
        words += [f"repeat({n})", "addNATPortMapping(8080,80,1)", "removeNATPortMapping(80,1)",
                  "end", "stats"]
        done += n
    started = time.monotonic()
    host = box.popen("vnxhost.exe", words, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                     stderr=subprocess.DEVNULL, text=True)
    stats = []
    lines = []
    for text in host.stdout:
        match = LINE.match(text.strip())
        if not match:
            continue
        ms, command, answer = int(match.group(1)), match.group(2), match.group(3)
        lines.append((ms, command, answer))
        if command == "stats":
            figures = dict(kv.split("=") for kv in answer.split())
            # Wine reports no private bytes; the resident size that Linux sees is real.
            figures["linux_vm_rss_kb"] = str(linux_rss_kb(box.prefix))
            stats.append(figures)
    code = host.wait()
    elapsed = time.monotonic() - started
    print(f"soak: {cycles} add/remove cycles (after 10 warm-up cycles) in one process, "
          f"{elapsed:.0f} s, exit {code}", flush=True)
    for ms, command, answer in lines:
        print(f"  [{ms:>8} ms] {command} = {answer}", flush=True)
    if len(stats) >= 2:
        first, last = stats[0], stats[-1]
        for key in ("pagefile_bytes", "working_set", "probed_handles", "private_bytes",
                    "handles", "linux_vm_rss_kb"):
            if key in first:
                print(f"  {key:<15} start={first[key]:>10} end={last[key]:>10} "
                      f"growth={int(last[key]) - int(first[key]):+d}", flush=True)
    result = subprocess.CompletedProcess(words, code)
    return result.returncode == 0

