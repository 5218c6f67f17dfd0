"""A scripted consumer router for the inner NAT of a netns.TwoRouterLan: the user's own
router behind the provider's box, which maps although its WAN address is private (the real
daemon refuses to).

It runs inside the lan's gw namespace:

    python3 -m testbed.inner_router LAN_ADDRESS WAN_IFNAME REPORTED_ADDRESS

and answers the LAN's SSDP searches (239.255.255.250:1900, or unicast to LAN_ADDRESS) for the
router's own types, serves a description with one WANIPConnection:1 on HTTP_PORT, and
answers its SOAP actions: GetExternalIPAddress (REPORTED_ADDRESS: its WAN address, or a public
address that is only reported, never routed), AddPortMapping (a real nft dnat rule on the WAN
link: external port -> client:internal port), DeletePortMapping, GetSpecificPortMappingEntry
(the entry, or fault 714) and GetStatusInfo; anything else gets fault 401.  It prints "ready"
once it serves, then one JSON line per search or SOAP request it got, and removes its nft
table when it ends (SIGTERM).  InnerRouter starts it and reads those lines.
"""
import json
import re
import signal
import socket
import struct
import subprocess
import sys
import threading
import time
import xml.etree.ElementTree as ET
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

from . import fakegw
from .helper_process import JsonLinesProcess

HTTP_PORT = 49152
DESCRIPTION_PATH = "/igd.xml"
CONTROL_PATH = "/upnp/control/WANIPConn1"
PUBLIC_ADDRESS = "8.8.4.77"  # reported in the public mode; no route leads there
TABLE = "inner_router"
# The targets a router with a WANIPConnection (and no PPP) answers.
_ANSWERED = ("ssdp:all", "upnp:rootdevice", fakegw.IGD, fakegw.WAN_IP,
             "urn:schemas-upnp-org:device:WANDevice:1",
             "urn:schemas-upnp-org:device:WANConnectionDevice:1")


# ------------------------------------------------------------------ inside the gw namespace

def _nft(*args, text=None):
    return subprocess.run(["nft", *args], input=text, capture_output=True, text=True,
                          check=True).stdout


class _Router:
    def __init__(self, lan_address, wan_ifname, reported):
        self.lan_address, self.wan_ifname, self.reported = lan_address, wan_ifname, reported
        self.mappings = {}  # (protocol, external port) -> (client, internal port, description)
        self.lock = threading.Lock()
        _nft("-f", "-", text=f"table ip {TABLE} {{\n chain prerouting {{\n"
                             "  type nat hook prerouting priority dstnat; policy accept;\n"
                             " }\n}\n")

    def note(self, **event):
        event["t"] = time.monotonic()
        with self.lock:
            print(json.dumps(event), flush=True)

    # ---- SSDP
    def serve_ssdp(self):
        sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        sock.bind(("0.0.0.0", fakegw.SSDP_PORT))
        sock.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP, struct.pack(
            "4s4s", socket.inet_aton(fakegw.SSDP_GROUP), socket.inet_aton(self.lan_address)))
        sock.setsockopt(socket.IPPROTO_IP, fakegw.IP_PKTINFO, 1)
        threading.Thread(target=self._ssdp_loop, args=(sock,), daemon=True).start()

    def _ssdp_loop(self, sock):
        location = f"http://{self.lan_address}:{HTTP_PORT}{DESCRIPTION_PATH}"
        while True:
            data, ancillary, _flags, source = sock.recvmsg(8192, 256)
            destination = next((socket.inet_ntoa(blob[8:12]) for level, kind, blob in ancillary
                                if level == socket.IPPROTO_IP and kind == fakegw.IP_PKTINFO),
                               None)
            text = data.decode("latin-1")
            if not text.startswith("M-SEARCH"):
                continue
            st = header(text, "ST")
            # Only searches on the LAN side are answered, as a router does.
            answered = (destination in (fakegw.SSDP_GROUP, self.lan_address)
                        and st in _ANSWERED)
            self.note(kind="ssdp", source=list(source), destination=destination, st=st,
                      answered=answered)
            if answered:
                sock.sendto(fakegw.ssdp_answer(location=location, st=st).encode("latin-1"),
                            source)

    # ---- SOAP
    def act(self, action, arguments):
        """The HTTP answer (text) to one SOAP action."""
        key = (arguments.get("NewProtocol", "").upper(), arguments.get("NewExternalPort", ""))
        if action == "GetExternalIPAddress":
            return fakegw.soap_answer(action, arguments=f"<NewExternalIPAddress>{self.reported}"
                                                        "</NewExternalIPAddress>")
        if action == "GetStatusInfo":
            return fakegw.status_info_answer()
        if action == "AddPortMapping":
            try:
                client = arguments["NewInternalClient"]
                internal = int(arguments["NewInternalPort"])
                external = int(key[1])
            except (KeyError, ValueError):
                return fakegw.soap_fault(402, "Invalid Args")
            if key[0] not in ("TCP", "UDP") or not 0 < external < 65536 \
                    or not 0 < internal < 65536:
                return fakegw.soap_fault(402, "Invalid Args")
            with self.lock:
                held = self.mappings.get(key)
                if held and held[0] != client:
                    return fakegw.soap_fault(718, "ConflictInMappingEntry")
                if held:
                    self._unrule(key)
                _nft("add", "rule", "ip", TABLE, "prerouting", "iifname", self.wan_ifname,
                     key[0].lower(), "dport", str(external), "dnat", "to",
                     f"{client}:{internal}", "comment", f'"map {key[0]} {external}"')
                self.mappings[key] = (client, internal,
                                      arguments.get("NewPortMappingDescription", ""))
            return fakegw.soap_answer(action)
        if action in ("DeletePortMapping", "GetSpecificPortMappingEntry"):
            with self.lock:
                held = self.mappings.get(key)
                if held and action == "DeletePortMapping":
                    self._unrule(key)
                    del self.mappings[key]
            if not held:
                return fakegw.soap_fault(714, "NoSuchEntryInArray")
            if action == "DeletePortMapping":
                return fakegw.soap_answer(action)
            return fakegw.mapping_entry_answer(held[1], internal_client=held[0],
                                               description=held[2])
        return fakegw.soap_fault(401, "Invalid Action")

    def _unrule(self, key):
        listing = _nft("-a", "list", "chain", "ip", TABLE, "prerouting")
        for line in listing.splitlines():
            if f'comment "map {key[0]} {key[1]}"' in line:
                _nft("delete", "rule", "ip", TABLE, "prerouting", "handle",
                     line.rpartition("# handle ")[2].strip())

    def close(self):
        subprocess.run(["nft", "delete", "table", "ip", TABLE], capture_output=True)


def header(text, name):
    """The value of an SSDP or HTTP header line of `text` (name in capitals), or None."""
    for line in text.split("\r\n")[1:]:
        key, _, value = line.partition(":")
        if key.strip().upper() == name:
            return value.strip()
    return None


def _arguments(body):
    """{local name: text} of the SOAP body's action element's children."""
    try:
        envelope = ET.fromstring(body)
    except ET.ParseError:
        return {}
    for element in envelope.iter():
        if element.tag.endswith("}Body") and len(element):
            return {child.tag.rpartition("}")[2]: (child.text or "").strip()
                    for child in element[0]}
    return {}


def _handler(router):
    class Handler(BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"

        def log_message(self, *_):
            pass

        def _send(self, text):
            self.close_connection = True
            self.wfile.write(text.encode("latin-1"))

        def do_GET(self):
            router.note(kind="http", method="GET", path=self.path,
                        peer=list(self.client_address))
            if self.path != DESCRIPTION_PATH:
                self._send(fakegw.http_answer("", status="HTTP/1.1 404 Not Found"))
                return
            self._send(fakegw.http_answer(fakegw.description(services=[
                fakegw.service_xml(fakegw.WAN_IP, CONTROL_PATH)])))

        def do_POST(self):
            body = self.rfile.read(int(self.headers.get("Content-Length") or 0))
            action = (self.headers.get("SOAPAction") or "").strip('"').rpartition("#")[2]
            arguments = _arguments(body)
            answer = (router.act(action, arguments) if self.path == CONTROL_PATH else
                      fakegw.http_answer("", status="HTTP/1.1 404 Not Found"))
            fault = re.search(r"<errorCode>(\d+)</errorCode>", answer)
            router.note(kind="soap", action=action, arguments=arguments,
                        peer=list(self.client_address),
                        fault=int(fault.group(1)) if fault else None)
            self._send(answer)

    return Handler


def main(argv):
    if len(argv) != 4:
        print(__doc__, file=sys.stderr)
        return 2
    router = _Router(*argv[1:])
    server = ThreadingHTTPServer((router.lan_address, HTTP_PORT), _handler(router))
    server.daemon_threads = True
    signal.signal(signal.SIGTERM, lambda *_: threading.Thread(target=server.shutdown).start())
    try:
        router.serve_ssdp()
        print("ready", flush=True)
        server.serve_forever(poll_interval=0.1)
    finally:
        router.close()
    return 0


# ------------------------------------------------------------------ the test's side

class InnerRouter:
    """The scripted router running in the gw namespace of `net` (a netns.TwoRouterLan);
    public=True makes it report PUBLIC_ADDRESS as its external address instead of its WAN
    address.  events() gives what it got so far; close() ends it."""

    def __init__(self, net, public=False):
        self.net = net
        self.reported = PUBLIC_ADDRESS if public else net.GW_WAN
        self._process = JsonLinesProcess(net.gw, "testbed.inner_router",
                                         [net.GW_LAN, net.gw_wan_if, self.reported],
                                         "the scripted inner router")

    def events(self, kind=None, action=None):
        """What it got so far, in order: {"t": monotonic time, "kind": "ssdp" | "http" |
        "soap", ...}; soap events carry "action", "arguments" and "fault" (None: answered)."""
        return [e for e in self._process.lines() if kind in (None, e["kind"])
                and action in (None, e.get("action"))]

    def mapping_rules(self):
        """The dnat rules of its prerouting chain, one text each."""
        out = self.net.gw.run(["nft", "list", "chain", "ip", TABLE, "prerouting"]).stdout
        return [line.strip() for line in out.splitlines() if "dnat" in line]

    def has_mapping(self, protocol, external, client, internal):
        """True when a dnat rule forwards protocol/external on the WAN link to client:internal."""
        wanted = [protocol.lower(), "dport", str(external), "dnat", "to", f"{client}:{internal}"]
        return any(" ".join(wanted) in " ".join(rule.split()) for rule in self.mapping_rules())

    def close(self):
        self._process.close()


if __name__ == "__main__":
    sys.exit(main(sys.argv))
