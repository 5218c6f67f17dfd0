"""Time from the end of an outage to a delete that was asked for during it.

One host process searches and maps 8080 -> 80 (TCP) on the stock gateway; the gateway's HTTP
port then refuses every connection (helpers/refused_http.nft) for OUTAGE_S, and the host's
remove of the mapping comes REMOVE_LEAD_MS into it (it answers false: the delete got no
answer).  The host sleeps on while the refusal is lifted; from then on the gateway's rules are
read every POLL_S, and the figure is the time from the lift to the first reading without the
mapping, at most BOUND_S ("not deleted within" otherwise).
"""
import subprocess
import time

from testbed import gateway, netns, winebox

from .common import SEARCH, Lines, portlink_dll, rules_in, stop

REFUSED_HTTP = "refused_http.nft"
OUTAGE_S = 60.0
REMOVE_LEAD_MS = 2000
BOUND_S = 120.0
POLL_S = 0.5


def outage_text(figure_s, remove_answer):
    """The figure's printed line: seconds from the lift to the mapping gone (None: it was not
    gone within BOUND_S), with the answer of the remove asked for during the outage."""
    gone = (f"mapping gone {figure_s:.3f} s after the outage ended" if figure_s is not None
            else f"not deleted within {BOUND_S:.0f} s")
    return (f"delete asked for during a {OUTAGE_S:.0f} s outage (the gateway's HTTP port "
            f"refused; the remove answered {remove_answer}): {gone}")


def outage_run():
    """One host process on a fresh stock gateway, as the module's text says.  Returns (figure
    in s or None, the remove's answer)."""
    lan = gateway.GatewayLan()
    box = None
    host = out = None
    refused = False

    def mapped():
        return lan.gateway.has_mapping("tcp", 80, netns.Lan.LAN_HOST, 8080)

    try:
        box = winebox.WineBox(lan.net.lan)
        sleep_ms = int((OUTAGE_S + BOUND_S + 60) * 1000)
        host = box.popen("vnxhost.exe", ["-v", portlink_dll(box), *SEARCH,
                                         "addNATPortMapping(8080,80,1)",
                                         f"sleep({REMOVE_LEAD_MS})", "removeNATPortMapping(80,1)",
                                         f"sleep({sleep_ms})"],
                         stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                         stderr=subprocess.DEVNULL, text=True)
        out = Lines(host.stdout)
        added = len(SEARCH) + 1
        answers = out.wait_answers(added, 120, host)
        if [answer for _, _, _, answer in answers[:added]] != ["true"] * added or not mapped():
            raise RuntimeError("the host did not map 8080 -> 80: " + repr(out.snapshot()))
        rules_in(lan.net.gw, REFUSED_HTTP, True)
        refused = True
        lift = time.monotonic() + OUTAGE_S
        answers = out.wait_answers(added + 1, OUTAGE_S, host)
        remove_answer = answers[added][3] if len(answers) > added else "nothing yet"
        time.sleep(max(0.0, lift - time.monotonic()))
        if not mapped():
            raise RuntimeError("the mapping went during the outage: "
                               + repr(lan.gateway.mapping_rules()))
        rules_in(lan.net.gw, REFUSED_HTTP, False)
        refused = False
        lifted = time.monotonic()
        while time.monotonic() < lifted + BOUND_S:
            if not mapped():
                return time.monotonic() - lifted, remove_answer
            time.sleep(POLL_S)
        return None, remove_answer
    finally:
        if refused:
            rules_in(lan.net.gw, REFUSED_HTTP, False)
        if host:
            stop(host)
            out.join(5)
            host.stdout.close()
        if box:
            box.close()
        lan.close()


def outage_figure():
    """Runs and prints the figure."""
    print(outage_text(*outage_run()), flush=True)
