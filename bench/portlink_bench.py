#!/usr/bin/env python3
"""Timing and soak figures of portlink against a real gateway (miniupnpd as it ships), all
inside network namespaces made here.

    sudo python3 bench/portlink_bench.py [--runs N] [--soak CYCLES] [--no-soak]

Each run is a fresh host process under Wine: startSearch until isSearchEnd, then two
add/remove pairs (the first pair is the process's first actions, the second the steady cost).  The times
come from the host's own clock (its -v answer lines), so Wine's start-up is not counted.
Floors: 1.5 s for a discovery answered at once (1 s before the first receive plus 0.5 s
before the first HTTP read), 0.5 s per action (the sleep before the first read).  In the
same run, upnpc (a native control point) discovers and adds the same mapping: its wall time,
process start included, is the peer for portlink's discovery plus first add.
On scripted boxes (an idle WANPPPConnection beside the WANIPConnection in use, or the same box
with PPP live; six connection services; an HTTP/1.0 stack that ends its description with the
connection), discovery is measured against 1.5 s plus 0.5 s for each status question that
choosing the live connection takes (at most 4).
On the same gateway with UPnP off, portlink maps through PCP: its discovery is measured against
1.0 s (the first poll), add and remove in milliseconds (one UDP round trip each), and
discover+add against upnpc -a on the stock gateway.
The soak runs add/remove cycles in one process and prints the host's memory and handle
figures at the start and the end.
"""
import argparse
import json
import os
import re
import select
import signal
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

from testbed import fakegw, gateway, netns, winebox  # noqa: E402

FLOOR_SEARCH_MS = 1500.0
FLOOR_ACTION_MS = 500.0
# With UPnP off, the PCP answer is read at the first poll of the search.
FLOOR_PCP_SEARCH_MS = 1000.0
LINE = re.compile(r"^\[\s*(\d+) ms\] (\S+) = (.*)$")


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
    result = box.run("vnxhost.exe", ["-v", dll, "startSearch()", "wait-search(20000)",
                                     "isSearchSucces()", "addNATPortMapping(8080,80,1)",
                                     "removeNATPortMapping(80,1)", "addNATPortMapping(8080,80,1)",
                                     "removeNATPortMapping(80,1)"], timeout=120)
    lines = host_lines(result)
    answers = [answer for _, _, answer in lines]
    if result.returncode != 0 or answers != ["true"] * 7:
        raise RuntimeError("run failed: %r %r" % (lines, result.stderr[-500:]))
    t = [ms for ms, _, _ in lines]
    return {"search": t[1] - t[0], "first add": t[3] - t[2], "first remove": t[4] - t[3],
            "add": t[5] - t[4], "remove": t[6] - t[5]}


def upnpc_add(lan):
    """Wall time in ms of `upnpc -a` (discovery and one add) from the LAN host; the mapping
    is then removed again, untimed."""
    host = lan.net.LAN_HOST
    started = time.monotonic()
    added = lan.net.lan.run(["upnpc", "-a", host, "8080", "80", "TCP"], check=False, timeout=60)
    elapsed = (time.monotonic() - started) * 1000.0
    if added.returncode != 0 or not lan.gateway.has_mapping("tcp", 80, host, 8080):
        raise RuntimeError("upnpc -a failed: " + added.stdout[-800:] + added.stderr[-400:])
    lan.net.lan.run(["upnpc", "-d", "80", "TCP"], check=False, timeout=60)
    return elapsed


def status_answer(status, service_type):
    body = ('<?xml version="1.0"?>\r\n<s:Envelope xmlns:s="http://schemas.xmlsoap.org/soap/'
            'envelope/" s:encodingStyle="http://schemas.xmlsoap.org/soap/encoding/"><s:Body>'
            f'<u:GetStatusInfoResponse xmlns:u="{service_type}">'
            f"<NewConnectionStatus>{status}</NewConnectionStatus>"
            "<NewLastConnectionError>ERROR_NONE</NewLastConnectionError>"
            "<NewUptime>3600</NewUptime></u:GetStatusInfoResponse></s:Body></s:Envelope>\r\n")
    return fakegw.http_answer(body)


def scripted_box(services, statuses, description_answer=None):
    """Scenario of a box that answers every search, WANPPPConnection first, describes the
    given services and answers the status questions with `statuses`."""
    answers = [description_answer or fakegw.http_answer(fakegw.description(services=services)),
               *statuses, fakegw.soap_answer()]
    return {"address": netns.Lan.GW_LAN, "max_seconds": 120,
            "ssdp": {"after": 1, "datagrams": [{"data": fakegw.ssdp_answer(st=st)} for st in
                                               (fakegw.WAN_PPP, fakegw.WAN_IP, fakegw.IGD)]},
            "http": {"5000": [{"chunks": [{"data": a}]} for a in answers]}}


def scripted_boxes():
    """(name, scenario, floor in ms) of each scripted box: discovery costs 1.5 s plus 0.5 s
    for each status question that choosing the live connection takes."""
    ppp = fakegw.service_xml(fakegw.WAN_PPP, "/ctl/PPPConn", name="WANPPPConn")
    ip = fakegw.service_xml(fakegw.WAN_IP, "/ctl/IPConn")
    six = [fakegw.service_xml(fakegw.WAN_IP, f"/ctl/IPConn{i}") for i in range(6)]
    idle = status_answer("Disconnected", fakegw.WAN_IP)
    # An HTTP/1.0 stack: no Content-Length, the body ends with the connection.
    close_delimited = fakegw.http_answer(fakegw.description(), status="HTTP/1.0 200 OK",
                                         content_length=False)
    return [
        ("idle PPP, 2 questions", scripted_box([ppp, ip], [
            status_answer("Disconnected", fakegw.WAN_PPP),
            status_answer("Connected", fakegw.WAN_IP)]), FLOOR_SEARCH_MS + 2 * FLOOR_ACTION_MS),
        ("live PPP, 1 question", scripted_box([ppp, ip], [
            status_answer("Connected", fakegw.WAN_PPP)]), FLOOR_SEARCH_MS + FLOOR_ACTION_MS),
        ("six services, 4 questions", scripted_box(six, [idle] * 4),
         FLOOR_SEARCH_MS + 4 * FLOOR_ACTION_MS),
        ("HTTP/1.0 close-delimited", scripted_box(None, [], close_delimited), FLOOR_SEARCH_MS),
    ]


def box_discoveries(runs):
    """Discovery times (ms) on each scripted box: {name: (floor, [ms, ...])}."""
    lan = netns.Lan(with_isp=False)
    box = None
    work = tempfile.mkdtemp(prefix="portlink-bench-")
    boxes = scripted_boxes()
    figures = {name: (floor, []) for name, _, floor in boxes}
    try:
        box = winebox.WineBox(lan.lan)
        dll = box.windows_path(os.path.join(winebox.BIN, "portlink.dll"))
        env = dict(os.environ, PYTHONPATH=os.path.dirname(os.path.dirname(
            os.path.abspath(__file__))))
        for run in range(runs):
            for name, plan, _ in boxes:
                scenario = os.path.join(work, "scenario.json")
                with open(scenario, "w") as f:
                    json.dump(plan, f)
                fake = lan.gw.popen([sys.executable, "-m", "testbed.fakegw", scenario,
                                     os.path.join(work, "record.json")], env=env,
                                    stdout=subprocess.PIPE, stdin=subprocess.DEVNULL)
                try:
                    ready, _, _ = select.select([fake.stdout], [], [], 20)
                    if not ready or fake.stdout.readline().strip() != b"ready":
                        raise RuntimeError("the scripted gateway did not start")
                    result = box.run("vnxhost.exe", ["-v", dll, "startSearch()",
                                                     "wait-search(20000)", "isSearchSucces()",
                                                     "addNATPortMapping(8080,80,1)"], timeout=120)
                finally:
                    fake.send_signal(signal.SIGTERM)
                    fake.wait(timeout=10)
                    fake.stdout.close()
                lines = host_lines(result)
                if [answer for _, _, answer in lines] != ["true"] * 4:
                    raise RuntimeError(f"scripted box {name!r} failed: {lines!r}")
                figures[name][1].append(lines[1][0] - lines[0][0])
            print(f"scripted boxes run {run + 1}: " + ", ".join(
                f"{name} {values[-1]} ms" for name, (_, values) in figures.items()), flush=True)
    finally:
        if box:
            box.close()
        lan.delete()
        subprocess.run(["rm", "-rf", work], check=False)
    return figures


def port_control_runs(runs):
    """Figures on the real gateway with UPnP off (PCP and NAT-PMP on): discovery, then two
    add/remove pairs per process, as one_run measures them on the stock gateway."""
    lan = gateway.GatewayLan(upnp=False, natpmp=True)
    box = None
    figures = {}
    try:
        box = winebox.WineBox(lan.net.lan)
        dll = box.windows_path(os.path.join(winebox.BIN, "portlink.dll"))
        for run in range(runs):
            times = one_run(box, dll)
            times["discover+add"] = times["search"] + times["first add"]
            if lan.gateway.mapping_rules():
                raise RuntimeError("a mapping was left: " + "; ".join(lan.gateway.mapping_rules()))
            print(f"UPnP off, run {run + 1}: " + ", ".join(f"{k} {v:.0f} ms"
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
    words = ["-v", dll, "startSearch()", "wait-search(20000)", "isSearchSucces()",
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
    rss = []
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


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--soak", type=int, default=1000, help="add/remove cycles")
    parser.add_argument("--no-soak", action="store_true")
    parser.add_argument("--no-timing", action="store_true")
    args = parser.parse_args()

    lan = gateway.GatewayLan()
    box = None
    try:
        box = winebox.WineBox(lan.net.lan)
        lan.gateway.listen("tcp", 8080)
        dll = box.windows_path(os.path.join(winebox.BIN, "portlink.dll"))
        ok = True
        if not args.no_timing:
            figures = {}
            for run in range(args.runs):
                times = one_run(box, dll)
                times["discover+add"] = times["search"] + times["first add"]
                times["upnpc -a"] = upnpc_add(lan)
                print(f"run {run + 1}: " + ", ".join(f"{k} {v:.0f} ms" for k, v in times.items()),
                      flush=True)
                for key, value in times.items():
                    figures.setdefault(key, []).append(value)
            ratios = [report(key, figures[key],
                             FLOOR_SEARCH_MS if key == "search" else FLOOR_ACTION_MS)
                      for key in ("search", "first add", "first remove", "add", "remove")]
            print("target: every ratio <= 1.05: " +
                  ("met" if max(ratios) <= 1.05 else "NOT met"), flush=True)
            peer = statistics.median(figures["upnpc -a"])
            versus = report("discover+add", figures["discover+add"], peer)
            print(f"  (floor here: upnpc -a, median {peer:.1f} ms; target ratio <= 1.0: "
                  + ("met)" if versus <= 1.0 else "NOT met)"), flush=True)
            pcp = port_control_runs(args.runs)
            pcp_ratio = report("search, UPnP off (PCP)", pcp["search"], FLOOR_PCP_SEARCH_MS)
            for key in ("first add", "first remove", "add", "remove"):
                print(f"{key + ', PCP':<36} median={statistics.median(pcp[key]):7.1f} ms  "
                      f"max={max(pcp[key]):6.0f} ms", flush=True)
            slowest = max(max(pcp[k]) for k in ("first add", "first remove", "add", "remove"))
            pcp_versus = report("discover+add, PCP vs upnpc -a", pcp["discover+add"], peer)
            print("UPnP off: targets search <= 1.05, add and remove < 50 ms, discover+add < "
                  "0.6 x upnpc: " + ("met" if pcp_ratio <= 1.05 and slowest < 50 and
                                     pcp_versus < 0.6 else "NOT met"), flush=True)
            boxes = box_discoveries(args.runs)
            box_ratios = [report(f"search, {name}", values, floor)
                          for name, (floor, values) in boxes.items()]
            print("scripted boxes: target every ratio <= 1.05: " +
                  ("met" if max(box_ratios) <= 1.05 else "NOT met"), flush=True)
        if not args.no_soak:
            ok = soak(box, dll, args.soak) and ok
        return 0 if ok else 1
    finally:
        if box:
            box.close()
        lan.close()


if __name__ == "__main__":
    sys.exit(main())
