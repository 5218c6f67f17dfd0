#!/usr/bin/env python3
"""Main job: portlink, loaded through the runtime stand-in under Wine, finds the sandboxed
LAN's gateway (a real miniupnpd), maps external TCP port 80 to a listener on the LAN host's
port 8080, proves the mapping by a connection from the WAN side, removes it and proves it gone.
The LAN and WAN also carry IPv6, so the same add opens port 8080 of the LAN host's stable IPv6
address (2001:db8:77::20) as an inbound pinhole: it is proven by a connection from the WAN side
straight to that address, and proven closed after the remove.  Three phases, each on a fresh
sandboxed LAN:

- the gateway as it ships (UPnP): the mapping and the pinhole (AddPinhole) by UPnP;
- the same gateway with UPnP switched off: the mapping by PCP; no pinhole, as under Wine no
  IPv6 router can be found there (Wine's IPv6 route table is empty and such a gateway answers
  no IPv6 search), which the job reports instead of failing;
- its IGDv1 view with PCP on too: the mapping by UPnP, the pinhole by PCP (the IGDv1
  description lists no IPv6 firewall service).

A fourth phase puts two routers in a row (LAN host -- the user's router -- the provider's box --
isp), with IPv4 only: the inner router is a scripted consumer router that maps although its
WAN address is private (testbed/inner_router.py), the outer one the same real gateway as it
ships.  portlink maps external port 80 at the inner router (to the LAN host's 8080) and, once
the add has answered, at the outer one (80 to the inner router's WAN address, port 80); the
job proves the port from the provider's side through both, removes it and proves both gone.

It ends with one line per mapping (the protocol that made it, its external IPv4 address and
port, the pinhole's address and port or why there is none) and one summary line.
Everything runs in network namespaces made here (lan -- gw -- isp, and lan -- gw -- outer --
isp); nothing leaves them.
Exit code 0 when every step held, 1 otherwise.
"""
import ipaddress
import os
import re
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

from testbed import flavours, gateway, winebox  # noqa: E402
from testbed.two_routers import TwoRouterLab  # noqa: E402

LAN_PORT = 8080
WAN_PORT = 80
# The host pauses this long after the add, while this script proves the mapping and the
# pinhole (which the keeper thread opens right after the add has answered).
PROOF_WINDOW_MS = 4000
# How long after the add's answer the pinhole may take to show in the gateway's forward chain
# (it is read every 20 ms).
PINHOLE_WAIT_S = 2.0
# A connection that must not get through is given this long.
CLOSED_WAIT_S = 1.0
# Behind two routers, the outer mapping must forward this long after the add answered at most.
SECOND_MAPPING_WAIT_S = 5.0
NO_ROUTER6 = ("no pinhole: under Wine no IPv6 router can be found (Wine's IPv6 route table is "
              "empty) and a gateway with UPnP off answers no IPv6 search, so portlink has no "
              "IPv6 address of the gateway to ask")

# protocol that maps IPv4, pinhole protocol (None: none expected under Wine), gateway options,
# what the phase is
PHASES = (
    ("UPnP", "UPnP", {}, "the stock gateway"),
    ("PCP", None, {"upnp": False, "natpmp": True}, "UPnP off"),
    ("UPnP", "PCP", {"igd_v1": True, "natpmp": True}, "its IGDv1 view with PCP on"),
)


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
    # The gateway as it ships (UPnP), the same gateway with UPnP switched off and PCP and
    # NAT-PMP on, then its IGDv1 view with PCP and NAT-PMP on too; all with IPv6.
    mappings = [map_and_prove(step, check, protocol, pinhole, options)
                for protocol, pinhole, options, _ in PHASES]
    mappings.append(map_through_two_routers(step, check))
    wheres = [where for *_, where in PHASES] + ["two routers: scripted inner, stock outer"]
    for number, (where, found) in enumerate(zip(wheres, mappings), 1):
        step(f"mapping {number} ({where}): {found}")
    if failures:
        step(f"main job FAILED ({len(failures)} step(s))")
        return 1
    step(f"main job done ({flavour.name} flavour): on the stock gateway (UPnP), with UPnP "
         "off (PCP) and on its IGDv1 view with PCP on (UPnP), gateway found, port mapped, "
         "proven from the WAN side, removed; the IPv6 pinhole opened (by UPnP, by PCP), proven "
         "from the WAN side and closed where Wine lets portlink find the gateway over IPv6; "
         "behind two routers the port mapped at both, proven from the provider's side through "
         "both and removed from both")
    return 0


def start_host(step, box, commands):
    """The runtime stand-in running portlink's commands under Wine, and the watchdog that ends
    a host that hangs, so the job always finishes."""
    dll = box.windows_path(os.path.join(winebox.BIN, "portlink.dll"))
    step("portlink through the runtime stand-in: vnxhost -v portlink.dll " + " ".join(commands))
    host = box.popen("vnxhost.exe", ["-v", dll, *commands], stdin=subprocess.DEVNULL,
                     stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    watchdog = threading.Timer(90, host.kill)
    watchdog.start()
    return host, watchdog


def shut_down(host, box, network):
    """Ends the host process (when still running), its Wine box and the sandboxed network."""
    if host and host.poll() is None:
        host.kill()
        host.wait()
    if box:
        box.close()
    network.close()


def pinhole_made_by(gw, address, port):
    """"UPnP" or "PCP" for the daemon's pinhole of tcp address:port, from the label it keeps
    in the rule's user data ("... IGD2 pinhole" or "... PCP MAP <nonce>"); None if there is
    no such pinhole, "unknown" for another label."""
    out = gw.lan.gw.run(["nft", "-a", "--debug=netlink", "list", "chain", "inet", "filter",
                         "miniupnpd"]).stdout
    wanted = "0x" + ipaddress.IPv6Address(address).packed.hex()
    by_handle, handle = {}, None
    for line in out.splitlines():
        words = line.split()
        if words[:3] == ["inet", "filter", "miniupnpd"] and len(words) > 3:
            handle = words[3]
        elif words[:2] == ["userdata", "="] and handle:
            by_handle[handle] = line.split("{", 1)[1].rsplit("}", 1)[0].strip()
        elif "@nh,192,128" in words and "# handle " in line:
            if (words[words.index("@nh,192,128") + 1] == wanted and "dport" in words
                    and words[words.index("dport") + 1] == str(port)):
                label = by_handle.get(line.rpartition("# handle ")[2].strip()) or ""
                return ("PCP" if re.search(r"\bPCP MAP\b", label) else
                        "UPnP" if "IGD2 pinhole" in label else "unknown")
    return None


def map_and_prove(step, check, protocol, pinhole, options):
    """One sandboxed LAN with IPv6 whose gateway maps through `protocol` and opens pinholes
    through `pinhole` (None: none can be opened under Wine): find it, map, prove the mapping
    from the WAN side (and which protocol made it), prove the pinhole (or note why there is
    none), remove, prove both gone.  Returns the text of the mapping's summary line."""
    step(f"creating the sandboxed LAN (lan 192.168.77.20 -- gw 192.168.77.1/100.200.0.2 -- isp "
         f"100.200.0.1; IPv6 lan 2001:db8:77::20 -- gw 2001:db8:77::1/2001:db8:200::2 -- isp "
         f"2001:db8:200::1) with miniupnpd in gw, mapping through {protocol}"
         + (f" ({', '.join(f'{k}={v}' for k, v in options.items())})" if options else
            " (as it ships)")
         + (f", pinhole through {pinhole}" if pinhole else ", no pinhole expected under Wine"))
    lan = gateway.GatewayLan(ipv6=True, **options)
    gw = lan.gateway
    net = lan.net
    hole = ("tcp", net.LAN_HOST6, LAN_PORT)
    box = None
    host = None
    made_by = None
    mapped = None
    opened = None
    try:
        box = winebox.WineBox(net.lan)
        step("Wine prefix ready, its wineserver inside the lan namespace")
        gw.listen("tcp", LAN_PORT)
        gw.listen("tcp", LAN_PORT, address=net.LAN_HOST6)
        step(f"TCP listeners on {net.LAN_HOST}:{LAN_PORT} and [{net.LAN_HOST6}]:{LAN_PORT} (lan)")
        check(not gw.reach("tcp", WAN_PORT),
              f"before mapping: isp -> {net.GW_WAN}:{WAN_PORT} does not reach the listener")
        check(not gw.reach6("tcp", net.LAN_HOST6, LAN_PORT, wait=CLOSED_WAIT_S)
              and hole not in gw.pinholes(),
              f"before mapping: no pinhole; isp -> [{net.LAN_HOST6}]:{LAN_PORT} does not reach "
              "the listener")

        commands = ["getLocalIP()", "isLANIP()", "startSearch()", "wait-search(20000)",
                    "isSearchEnd()", "isSearchSucces()",
                    f"addNATPortMapping({LAN_PORT},{WAN_PORT},1)", f"sleep({PROOF_WINDOW_MS})",
                    f"removeNATPortMapping({WAN_PORT},1)"]
        host, watchdog = start_host(step, box, commands)
        expected = {"getLocalIP()": net.LAN_HOST, "isLANIP()": "true",
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
                added_at = time.monotonic()
                check(gw.has_mapping("tcp", WAN_PORT, net.LAN_HOST, LAN_PORT),
                      "the gateway's nat table forwards tcp/%d to %s:%d: %s"
                      % (WAN_PORT, net.LAN_HOST, LAN_PORT, "; ".join(gw.mapping_rules())))
                made_by = gw.mapping_made_by("tcp", WAN_PORT)
                check(made_by == protocol, f"the mapping was made through {made_by}")
                if check(gw.reach("tcp", WAN_PORT),
                         f"isp -> {net.GW_WAN}:{WAN_PORT} reaches the listener on "
                         f"{net.LAN_HOST}:{LAN_PORT}"):
                    mapped = f"{net.GW_WAN}:{WAN_PORT}"
                opened = prove_pinhole(step, check, gw, net, hole, pinhole, added_at)
                proof_done_at = time.monotonic()
            if command.startswith("removeNATPortMapping"):
                check(proof_done_at is not None,
                      "the mapping was proven before the host removed it")
        code = host.wait()
        watchdog.cancel()
        errors = host.stderr.read().strip()
        check(code == 0, f"host exit code {code}" + (f": {errors}" if errors else ""))
        check(seen == set(expected), "every step answered")

        check(not gw.has_mapping("tcp", WAN_PORT, net.LAN_HOST, LAN_PORT),
              "after removal: the gateway's nat table holds no mapping (%s)"
              % ("; ".join(gw.mapping_rules()) or "empty"))
        check(not gw.reach("tcp", WAN_PORT),
              f"after removal: isp -> {net.GW_WAN}:{WAN_PORT} no longer reaches the listener")
        left = gw.pinholes()
        check(hole not in left, "after removal: the gateway's forward chain holds no pinhole "
              f"for [{net.LAN_HOST6}]:{LAN_PORT} ({left or 'none'})")
        check(not gw.reach6("tcp", net.LAN_HOST6, LAN_PORT, wait=CLOSED_WAIT_S),
              f"after removal: isp -> [{net.LAN_HOST6}]:{LAN_PORT} "
              + ("no longer reaches" if opened else "does not reach") + " the listener")
    except Exception as error:  # the job reports, it does not crash
        check(False, f"{type(error).__name__}: {error}")
    finally:
        shut_down(host, box, lan)
    ipv4 = (f"made by {made_by or 'nothing found'}, external IPv4 "
            + (f"{mapped} (tcp, to {net.LAN_HOST}:{LAN_PORT})" if mapped else "not proven"))
    if opened:
        return f"{ipv4}; pinhole by {opened} for [{net.LAN_HOST6}]:{LAN_PORT} (tcp)"
    return f"{ipv4}; " + (NO_ROUTER6 if pinhole is None else
                          f"no pinhole: expected by {pinhole}, not proven")


def prove_pinhole(step, check, gw, net, hole, pinhole, added_at):
    """After the add: waits (every 20 ms, at most PINHOLE_WAIT_S) for the pinhole in the
    gateway's forward chain, checks which protocol made it and proves it by a connection from
    the WAN side.  Returns that protocol when proven, else None.  Where none can be opened
    under Wine (pinhole None) its absence is reported, not counted as a failure."""
    deadline = added_at + PINHOLE_WAIT_S
    while hole not in gw.pinholes() and time.monotonic() < deadline:
        time.sleep(0.02)
    shown = hole in gw.pinholes()
    after = time.monotonic() - added_at
    if pinhole is None and not shown:
        step(f"note  {NO_ROUTER6} (none in the forward chain {PINHOLE_WAIT_S:g} s after the "
             "add; the IPv4 mapping is unaffected)")
        return None
    check(shown, f"the gateway's forward chain holds a pinhole for tcp [{net.LAN_HOST6}]:"
          f"{LAN_PORT}" + (f" ({after * 1000:.0f} ms after the add answered)" if shown else
                           f" (none within {PINHOLE_WAIT_S:g} s: {gw.pinholes() or 'empty'})"))
    if not shown:
        return None
    by = pinhole_made_by(gw, net.LAN_HOST6, LAN_PORT)
    if pinhole is not None:
        check(by == pinhole, f"the pinhole was made through {by}")
    reached = check(gw.reach6("tcp", net.LAN_HOST6, LAN_PORT),
                    f"isp [{net.ISP6}] -> [{net.LAN_HOST6}]:{LAN_PORT} reaches the listener "
                    "through the pinhole")
    return by if reached and (pinhole is None or by == pinhole) else None


def map_through_two_routers(step, check):
    """Two routers in a row: find the inner one, map, prove the port from the provider's side
    through both routers (the outer mapping is made after the add answered, so it is waited
    for), remove, prove both mappings gone.  Returns the text of the mapping's summary line."""
    step("creating the sandboxed two-router LAN (lan 192.168.77.20 -- inner router (scripted) "
         "192.168.77.1/192.168.1.2 -- outer router (miniupnpd as it ships) "
         "192.168.1.1/100.200.0.2 -- isp 100.200.0.1; IPv4 only)")
    lab = TwoRouterLab()
    net = lab.net
    box = host = None
    inner = outer = world = None
    try:
        box = winebox.WineBox(net.lan)
        step("Wine prefix ready, its wineserver inside the lan namespace")
        lab.listen("tcp", LAN_PORT)
        check(not lab.reach("tcp", WAN_PORT, wait=CLOSED_WAIT_S),
              f"before mapping: isp -> {net.OUTER_WAN}:{WAN_PORT} does not reach the listener")
        commands = ["startSearch()", "wait-search(20000)", "isSearchSucces()",
                    f"addNATPortMapping({LAN_PORT},{WAN_PORT},1)",
                    f"sleep({int(SECOND_MAPPING_WAIT_S * 1000) + PROOF_WINDOW_MS})",
                    f"removeNATPortMapping({WAN_PORT},1)"]
        host, watchdog = start_host(step, box, commands)
        answered = []
        for line in host.stdout:
            line = line.rstrip()
            command, _, answer = line.partition("] ")[2].partition(" = ")
            step("host " + line)
            answered.append(command)
            check(answer == "true", f"{command} answered {answer}")
            if command.startswith("addNATPortMapping") and answer == "true":
                added_at = time.monotonic()
                if check(lab.inner_mapped("tcp", WAN_PORT, LAN_PORT),
                         f"the inner router forwards tcp/{WAN_PORT} to {net.LAN_HOST}:{LAN_PORT}: "
                         + "; ".join(lab.inner.mapping_rules())):
                    inner = f"{net.GW_WAN}:{WAN_PORT} -> {net.LAN_HOST}:{LAN_PORT}"
                while not lab.outer_mapped("tcp", WAN_PORT) and \
                        time.monotonic() < added_at + SECOND_MAPPING_WAIT_S:
                    time.sleep(0.05)
                after = time.monotonic() - added_at
                if check(lab.outer_mapped("tcp", WAN_PORT),
                         f"the outer router forwards tcp/{WAN_PORT} to {net.GW_WAN}:{WAN_PORT} "
                         f"({after * 1000:.0f} ms after the add answered): "
                         + ("; ".join(lab.outer.mapping_rules()) or "none")):
                    outer = f"{net.OUTER_WAN}:{WAN_PORT} -> {net.GW_WAN}:{WAN_PORT}"
                if check(lab.reach("tcp", WAN_PORT),
                         f"isp -> {net.OUTER_WAN}:{WAN_PORT} reaches the listener on "
                         f"{net.LAN_HOST}:{LAN_PORT} through both routers"):
                    world = f"{net.OUTER_WAN}:{WAN_PORT}"
        code = host.wait()
        watchdog.cancel()
        errors = host.stderr.read().strip()
        check(code == 0, f"host exit code {code}" + (f": {errors}" if errors else ""))
        check(len(answered) == 5, "every step answered")
        check(not lab.inner.mapping_rules(), "after removal: the inner router holds no mapping "
              f"({'; '.join(lab.inner.mapping_rules()) or 'none'})")
        check(not lab.outer.mapping_rules(), "after removal: the outer router holds no mapping "
              f"({'; '.join(lab.outer.mapping_rules()) or 'none'})")
        check(not lab.reach("tcp", WAN_PORT, wait=CLOSED_WAIT_S),
              f"after removal: isp -> {net.OUTER_WAN}:{WAN_PORT} no longer reaches the listener")
    except Exception as error:  # the job reports, it does not crash
        check(False, f"{type(error).__name__}: {error}")
    finally:
        shut_down(host, box, lab)
    return (f"inner mapping {inner or 'not proven'}, outer mapping {outer or 'not proven'}; "
            "the world sees " + (f"{world} (tcp)" if world else "nothing (not forwarded)"))


if __name__ == "__main__":
    sys.exit(main())
