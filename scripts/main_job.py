#!/usr/bin/env python3
"""Main job: portlink, loaded through the runtime stand-in under Wine, finds the sandboxed
LAN's gateway (a real miniupnpd), maps external TCP port 80 to a listener on the LAN host's
port 8080, proves the mapping by a connection from the WAN side, removes it and proves it gone:
once on the gateway as it ships (UPnP), once on the same gateway with UPnP switched off, where
portlink maps through PCP.

Everything runs in network namespaces made here (lan -- gw -- isp); nothing leaves them.
Exit code 0 when every step held, 1 otherwise.
"""
import os
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

from testbed import flavours, gateway, winebox  # noqa: E402

LAN_PORT = 8080
WAN_PORT = 80
# The host pauses this long after the add, while this script proves the mapping.
PROOF_WINDOW_MS = 3000


def main():
    started = time.monotonic()
    failures = []

    def step(text):
        print(f"[{time.monotonic() - started:7.2f} s] {text}", flush=True)

    def check(condition, text):
        step(("ok    " if condition else "FAIL  ") + text)
        if not condition:
            failures.append(text)
        return condition

    flavour = winebox.FLAVOUR
    why = ("chosen by WINE_FLAVOUR" if os.environ.get("WINE_FLAVOUR")
           else flavours.choose()[1] or "the product; this host runs both flavours")
    step(f"flavour {flavour.name} ({flavour.description}, {winebox.BIN}) under "
         f"{flavour.loader}: {why}")
    # The gateway as it ships (UPnP), then the same gateway with UPnP switched off and PCP
    # and NAT-PMP on.
    for protocol, options in (("UPnP", {}), ("PCP", {"upnp": False, "natpmp": True})):
        map_and_prove(step, check, protocol, options)
    if failures:
        step(f"main job FAILED ({len(failures)} step(s))")
        return 1
    step(f"main job done ({flavour.name} flavour): on the stock gateway (UPnP) and with UPnP "
         "off (PCP), gateway found, port mapped, proven from the WAN side, removed")
    return 0


def map_and_prove(step, check, protocol, options):
    """One sandboxed LAN whose gateway maps through `protocol`: find it, map, prove the
    mapping from the WAN side (and which protocol made it), remove it, prove it gone."""
    step(f"creating the sandboxed LAN (lan 192.168.77.20 -- gw 192.168.77.1/100.200.0.2 -- isp "
         f"100.200.0.1) with miniupnpd in gw, mapping through {protocol}"
         + (f" ({', '.join(f'{k}={v}' for k, v in options.items())})" if options else
            " (as it ships)"))
    lan = gateway.GatewayLan(**options)
    gw = lan.gateway
    box = None
    host = None
    try:
        box = winebox.WineBox(lan.net.lan)
        step("Wine prefix ready, its wineserver inside the lan namespace")
        gw.listen("tcp", LAN_PORT)
        step(f"TCP listener on {lan.net.LAN_HOST}:{LAN_PORT} (lan)")
        check(not gw.reach("tcp", WAN_PORT),
              f"before mapping: isp -> {lan.net.GW_WAN}:{WAN_PORT} does not reach the listener")

        dll = box.windows_path(os.path.join(winebox.BIN, "portlink.dll"))
        commands = ["getLocalIP()", "isLANIP()", "startSearch()", "wait-search(20000)",
                    "isSearchEnd()", "isSearchSucces()",
                    f"addNATPortMapping({LAN_PORT},{WAN_PORT},1)", f"sleep({PROOF_WINDOW_MS})",
                    f"removeNATPortMapping({WAN_PORT},1)"]
        step("portlink through the runtime stand-in: vnxhost -v portlink.dll " + " ".join(commands))
        host = box.popen("vnxhost.exe", ["-v", dll, *commands], stdin=subprocess.DEVNULL,
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        # A host that hangs is ended, so the job always finishes.
        watchdog = threading.Timer(90, host.kill)
        watchdog.start()
        expected = {"getLocalIP()": lan.net.LAN_HOST, "isLANIP()": "true",
                    "startSearch()": "true", "wait-search(20000)": "true",
                    "isSearchEnd()": "true", "isSearchSucces()": "true",
                    f"addNATPortMapping({LAN_PORT},{WAN_PORT},1)": "true",
                    f"removeNATPortMapping({WAN_PORT},1)": "true"}
        seen = set()
        proof_done_at = None
        for line in host.stdout:
            line = line.rstrip()
            command, _, answer = line.partition("] ")[2].partition(" = ")
            step("host " + line)
            if command in expected:
                seen.add(command)
                check(answer == expected[command], f"{command} answered {answer}")
            if command.startswith("addNATPortMapping") and answer == "true":
                check(gw.has_mapping("tcp", WAN_PORT, lan.net.LAN_HOST, LAN_PORT),
                      "the gateway's nat table forwards tcp/%d to %s:%d: %s"
                      % (WAN_PORT, lan.net.LAN_HOST, LAN_PORT, "; ".join(gw.mapping_rules())))
                made_by = gw.mapping_made_by("tcp", WAN_PORT)
                check(made_by == protocol, f"the mapping was made through {made_by}")
                check(gw.reach("tcp", WAN_PORT),
                      f"isp -> {lan.net.GW_WAN}:{WAN_PORT} reaches the listener on "
                      f"{lan.net.LAN_HOST}:{LAN_PORT}")
                proof_done_at = time.monotonic()
            if command.startswith("removeNATPortMapping"):
                check(proof_done_at is not None,
                      "the mapping was proven before the host removed it")
        code = host.wait()
        watchdog.cancel()
        errors = host.stderr.read().strip()
        check(code == 0, f"host exit code {code}" + (f": {errors}" if errors else ""))
        check(seen == set(expected), "every step answered")

        check(not gw.has_mapping("tcp", WAN_PORT, lan.net.LAN_HOST, LAN_PORT),
              "after removal: the gateway's nat table holds no mapping (%s)"
              % ("; ".join(gw.mapping_rules()) or "empty"))
        check(not gw.reach("tcp", WAN_PORT),
              f"after removal: isp -> {lan.net.GW_WAN}:{WAN_PORT} no longer reaches the listener")
    except Exception as error:  # the job reports, it does not crash
        check(False, f"{type(error).__name__}: {error}")
    finally:
        if host and host.poll() is None:
            host.kill()
            host.wait()
        if box:
            box.close()
        lan.close()


if __name__ == "__main__":
    sys.exit(main())
