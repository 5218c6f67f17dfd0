"""Discovery on scripted boxes (an idle WANPPPConnection beside the WANIPConnection in use, or
the same box with PPP live; six connection services; an HTTP/1.0 stack that ends its
description with the connection), measured against 1.5 s plus 0.5 s for each status question
that choosing the live connection takes (at most 4)."""
import json
import os
import select
import signal
import subprocess
import sys
import tempfile

from testbed import fakegw, netns, winebox

from .common import (FLOOR_ACTION_MS, FLOOR_SEARCH_MS, ROOT, SEARCH, host_lines,
                     portlink_dll, report)


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
        dll = portlink_dll(box)
        env = dict(os.environ, PYTHONPATH=ROOT)
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
                    result = box.run("vnxhost.exe", ["-v", dll, *SEARCH,
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


def scripted_box_figures(runs):
    """Runs and prints the scripted boxes' discovery figures."""
    boxes = box_discoveries(runs)
    box_ratios = [report(f"search, {name}", values, floor)
                  for name, (floor, values) in boxes.items()]
    print("scripted boxes: target every ratio <= 1.05: " +
          ("met" if max(box_ratios) <= 1.05 else "NOT met"), flush=True)
