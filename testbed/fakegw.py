"""A scripted fake Internet gateway for the tests of portlink.

It runs INSIDE the gateway namespace of a testbed.netns.Lan (or a router or the provider's side
of a netns.TwoRouterLan) and plays what a scenario file tells it, for the cases that a real
gateway will not produce: odd SSDP answers, odd device descriptions, slow or broken HTTP
answers.  It records every byte it receives, with arrival
times, so that tests can check the wire texts byte for byte.

    python3 -m testbed.fakegw SCENARIO.json RECORD.json

Scenario (JSON object; every key optional):

    "address":      LAN address of the gateway, default "192.168.77.1"
    "max_seconds":  the process ends by itself after this long, default 60
    "ssdp":         null (listen and record, never answer; the default) or
        {"after": N,              answer once the N-th M-SEARCH has arrived (default 1)
         "datagrams": [D, ...]}   answers, each {"data": TEXT, "delay": SECONDS,
                                  "source": IP}; the delay counts from the N-th M-SEARCH;
                                  sent by unicast to the sender of that M-SEARCH, from the
                                  SSDP socket, or with "source" from a socket bound to that
                                  address and port 1900 (another LAN host answering; the
                                  address must be on one of the namespace's links)
        or false: no SSDP socket at all (an HTTP-only fake, e.g. on 127.0.0.1)
    "http":  {"PORT": [R, ...], "IP:PORT": [R, ...], ...}  one TCP listener per key, on
                                  "address" or on the IP given; a port that is not listed has
                                  no listener, so connecting is refused.  The n-th connection
                                  to a listener gets its n-th answer R (the last one again
                                  when the list runs out):
        {"chunks": [{"data": TEXT, "delay": SECONDS}, ...]   sent one after the other; each
                                  delay counts from the end of the previous step, the first
                                  from the end of the request (header end plus Content-Length
                                  body, or "request_wait" seconds without more bytes)
         "then": "close" | {"hold": SECONDS} | "end"   afterwards close at once (default),
                                  keep the connection open that long (or until the peer
                                  closes), or end the sending side and wait for the peer's
                                  close (recorded as t_peer_closed)
         "request_wait": SECONDS} default 2
             Instead of a list, a listener's value may be {"answers": [R, ...], "actions":
             {"ACTION": [R, ...], ...}}: then the answer is chosen once the request is in; a
             request whose SOAPAction names ACTION (e.g. "GetSpecificPortMappingEntry") gets
             the n-th answer of that action's list (the last one again), any other request the
             n-th of "answers", counted among those others.
    "notify": [B, ...]            bursts of SSDP NOTIFY datagrams to 239.255.255.250:1900,
                                  each sent from a socket of its own bound to "source"
                                  (default "address"; another address must be on one of the
                                  namespace's links) and an ephemeral port, as the daemon
                                  sends them ("source_port" to choose one):
        {"at": SECONDS            since the start, or
         "after_action": ACTION, "delay": SECONDS   that long after the first HTTP request
                                  naming ACTION (e.g. "AddPortMapping") was read
         "count": N, "rate": PER_SECOND   N datagrams (default 1) paced at that rate (default
                                  1000 a second)
         "nts": "ssdp:alive" (default) | "ssdp:byebye"
         "bootid": N | null       BOOTID.UPNP.ORG (and 01-NLS) of the datagrams, default 1;
                                  null leaves both lines out
         "bootid_step": N         the k-th datagram's BOOTID is bootid + k * N (default 0)
         "nt": TYPE, "location": URL   default the IGD:1 device type, and the description
                                  URL on the source address
         "data": TEXT}            a text of its own instead (then nts/bootid/nt unused)
    "pcp":   absent: nothing listens on UDP 5351 (a datagram there is refused).  null: listen
             on "address":5351 and record, never answer.  Otherwise an object (fakepcp.py)
             answering PCP ANNOUNCE and MAP, NAT-PMP external-address and map requests, each
             by unicast to its sender: SUCCESS, the request's nonce, protocol and internal
             port, the suggested external port (the internal one when 0 is suggested), the
             lifetime asked (0 deletes), external address 100.200.0.2 (::ffff:100.200.0.2);
             every key optional:
        {"natpmp_only": true      every PCP request gets the NAT-PMP answer version 0,
                                  opcode 128 + op, result 1 (unsupported version), epoch
         "result": CODE           for MAP and NAT-PMP map requests, e.g. 2 (NOT_AUTHORIZED):
                                  PCP with lifetime 30 and the suggested port and address,
                                  NAT-PMP with lifetime 0 and the suggested port
         "port_offset": N         the external port assigned is the suggested one + N
         "lifetime_cap": SECONDS  grant min(asked, SECONDS)
         "epoch": E               epoch of the first answer, default 1000; it follows the
                                  clock (whole seconds since the start)
         "restart_after": N       after N answers the epoch starts again from 0 (a reboot)
         "epochs": [E, ...]       the n-th answer's epoch (the last one again when the list
                                  runs out), instead of the clock
         "skip": N                the first N datagrams are recorded but not answered
         "source": IP             answers go from IP:5351 instead (another LAN host; the
                                  address must be on one of the namespace's links)
         "also_from_gateway": true   with "source": then also from "address":5351
         "maps": [A, ...]         the answers to successive MAP exchanges (PCP MAP and
                                  NAT-PMP map requests, adds and deletes alike; a datagram
                                  equal to the exchange's first and less than 1.9 s after it
                                  is a resend and gets its exchange's answer): "grant"
                                  (as above), "silence" (recorded, not answered), a result
                                  CODE (as "result"), "zero" (SUCCESS with lifetime 0), or
                                  {"moved": N, "after": S}: a grant on the suggested port + N,
                                  sent only to the exchange's datagrams that arrive S s or
                                  more after its first (a late answer, which a resend gets);
                                  after the list, "grant".  Each MAP datagram's record entry
                                  has "scripted": its exchange's answer
         "announce": [{"at": SECONDS | "after_map": N, "delay": SECONDS, "epoch": E,
                       "natpmp": true, "source": "IP[:PORT]"}, ...]
                                  unsolicited announcements to 224.0.0.1:5350, from
                                  "address":5351 (or "source"), at SECONDS since the start or
                                  that long after the first datagram of the N-th MAP
                                  exchange: PCP ANNOUNCE (version 2, opcode 0x80, result 0),
                                  or NAT-PMP's external-address answer with "natpmp"; with
                                  "epoch" the server's clock goes on from E (it restarted).
                                  Recorded in "pcp_sent"}

TEXT is a JSON string whose characters U+0000..U+00FF stand for the bytes 0..255 (latin-1),
or a template object {"template": NAME, ...parameters} expanded by the functions below
("ssdp_answer", "description", "http_answer", "chunked_answer", ...; a template's text
parameters may themselves be templates).

Record (written on exit, on SIGTERM/SIGINT and on SIGUSR1; texts latin-1 as above, times in
seconds of time.monotonic() since the start):

    {"ssdp": [{"t", "source": [ip, port], "destination": ip, "data"}],
     "ssdp_sent": [{"t", "to": [ip, port], "source": ip or null, "length"}],
     "tcp": [{"address", "port", "peer": [ip, port], "t_connect", "t_request", "t_answered",
              "t_peer_closed", "t_closed", "reads": [{"t", "data"}], "data"}],
     "pcp": [{"t", "source": [ip, port], "destination": ip, "data", "scripted"?}],
     "pcp_sent": [{"t", "to": [ip, port], "source": ip, "data"}],
     "notify_sent": [{"t", "source": [ip, port], "nts", "bootid"}]}
(a "tcp" entry also has "action": the SOAPAction's name after "#", or null)

The process prints "ready" on its standard output once every socket is bound.  Played starts
it in a namespace and stop() returns its record.
"""
import json
import os
import select
import signal
import socket
import struct
import subprocess
import sys
import threading
import time

from . import fakepcp

SSDP_GROUP = "239.255.255.250"
SSDP_PORT = 1900
IP_PKTINFO = getattr(socket, "IP_PKTINFO", 8)  # Linux value


# ---------------------------------------------------------------- templates (also for tests)

def ssdp_answer(location="http://192.168.77.1:5000/rootDesc.xml",
                st="urn:schemas-upnp-org:service:WANIPConnection:1",
                status="HTTP/1.1 200 OK", location_header="LOCATION: ", usn=None,
                extra_lines=(), include_location=True):
    """An SSDP search answer as a gateway sends it (every line ends with CR LF)."""
    uuid = "uuid:3d3cec3a-8cf0-11e0-98ee-001a6bd2d07b"
    lines = [status, "CACHE-CONTROL: max-age=120", f"ST: {st}",
             f"USN: {usn if usn is not None else uuid + '::' + st}", "EXT:",
             "SERVER: Debian/12 UPnP/1.1 fakegw/1.0"]
    if include_location:
        lines.append(f"{location_header}{location}")
    lines += ["OPT: \"http://schemas.upnp.org/upnp/1/0/\"; ns=01", "01-NLS: 1",
              "BOOTID.UPNP.ORG: 1", "CONFIGID.UPNP.ORG: 1337", *extra_lines]
    return "\r\n".join(lines) + "\r\n\r\n"


WAN_IP = "urn:schemas-upnp-org:service:WANIPConnection:1"
WAN_PPP = "urn:schemas-upnp-org:service:WANPPPConnection:1"
IGD = "urn:schemas-upnp-org:device:InternetGatewayDevice:1"


def service_xml(service_type, control_url, name="WANIPConn", control_first=False,
                type_element=None):
    """One <service> element; type_element replaces the whole serviceType element."""
    type_line = type_element if type_element is not None else \
        f"<serviceType>{service_type}</serviceType>"
    control_line = f"<controlURL>{control_url}</controlURL>"
    parts = [type_line, f"<serviceId>urn:upnp-org:serviceId:{name}1</serviceId>",
             f"<SCPDURL>/{name}.xml</SCPDURL>", control_line,
             f"<eventSubURL>/evt/{name}</eventSubURL>"]
    if control_first:
        parts.remove(control_line)
        parts.insert(0, control_line)
    return "<service>" + "".join(parts) + "</service>"


def description(url_base=None, services=None, padding=0, second_services=None):
    """A root device description shaped like a real gateway's rootDesc.xml.

    services: the <service> elements of the WAN connection device, as texts (service_xml);
    the default is one WANIPConnection service with control URL /ctl/IPConn.
    second_services: those of a second WAN connection device after it in the same WAN
    device, or None for none.  url_base: the URLBase text, or None for no URLBase element.
    padding: that many bytes of an XML comment before the device element, to push the
    services far into the document.
    """
    if services is None:
        services = [service_xml(WAN_IP, "/ctl/IPConn")]

    def connection_device(number, services):
        if isinstance(services, str):
            services = [services]
        return ("<device>"
                "<deviceType>urn:schemas-upnp-org:device:WANConnectionDevice:1</deviceType>"
                "<friendlyName>WANConnectionDevice</friendlyName>"
                f"<UDN>uuid:3d3cec3a-8cf0-11e0-98ee-001a6bd2d07{number}</UDN>"
                "<serviceList>" + "".join(services) + "</serviceList></device>")

    devices = connection_device("c", services)
    if second_services is not None:
        devices += connection_device("d", second_services)
    base = f"<URLBase>{url_base}</URLBase>" if url_base is not None else ""
    pad = f"<!--{'p' * (padding - 7)}-->" if padding >= 7 else ""
    return (
        '<?xml version="1.0"?>\r\n'
        '<root xmlns="urn:schemas-upnp-org:device-1-0">'
        "<specVersion><major>1</major><minor>0</minor></specVersion>" + base + pad +
        "<device><deviceType>urn:schemas-upnp-org:device:InternetGatewayDevice:1</deviceType>"
        "<friendlyName>fake gateway</friendlyName><manufacturer>testbed</manufacturer>"
        "<modelName>fakegw</modelName><UDN>uuid:3d3cec3a-8cf0-11e0-98ee-001a6bd2d07a</UDN>"
        "<serviceList><service>"
        "<serviceType>urn:schemas-upnp-org:service:Layer3Forwarding:1</serviceType>"
        "<serviceId>urn:upnp-org:serviceId:L3Forwarding1</serviceId>"
        "<SCPDURL>/L3F.xml</SCPDURL><controlURL>/ctl/L3F</controlURL>"
        "<eventSubURL>/evt/L3F</eventSubURL></service></serviceList>"
        "<deviceList><device>"
        "<deviceType>urn:schemas-upnp-org:device:WANDevice:1</deviceType>"
        "<friendlyName>WANDevice</friendlyName>"
        "<UDN>uuid:3d3cec3a-8cf0-11e0-98ee-001a6bd2d07b</UDN>"
        "<serviceList><service>"
        "<serviceType>urn:schemas-upnp-org:service:WANCommonInterfaceConfig:1</serviceType>"
        "<serviceId>urn:upnp-org:serviceId:WANCommonIFC1</serviceId>"
        "<SCPDURL>/WANCfg.xml</SCPDURL><controlURL>/ctl/CmnIfCfg</controlURL>"
        "<eventSubURL>/evt/CmnIfCfg</eventSubURL></service></serviceList>"
        "<deviceList>" + devices + "</deviceList></device></deviceList>"
        "<presentationURL>http://192.168.77.1/</presentationURL></device></root>\r\n")


def http_answer(body="", status="HTTP/1.1 200 OK", content_length=True,
                content_type='text/xml; charset="utf-8"', extra_lines=()):
    """An HTTP answer; content_length True counts the body, an int is sent as given, False
    leaves the header out."""
    lines = [status, f"Content-Type: {content_type}", "Connection: close",
             "Server: Debian/12 UPnP/1.1 fakegw/1.0", *extra_lines]
    if content_length is True:
        lines.append(f"Content-Length: {len(body.encode('latin-1'))}")
    elif content_length is not False:
        lines.append(f"Content-Length: {content_length}")
    return "\r\n".join(lines) + "\r\n\r\n" + body


def chunked_answer(body="", sizes=(), status="HTTP/1.1 200 OK", extension="", trailer=(),
                   header="Transfer-Encoding: chunked"):
    """An HTTP answer without Content-Length whose body goes in chunks: the first ones of the
    given sizes (so that a boundary can fall inside a chosen text), the rest of the body as
    one more, then the last chunk "0", the trailer lines and the empty line.  extension
    (e.g. ";x=1") follows every size line's number."""
    pieces, rest = [], body
    for size in sizes:
        pieces.append(rest[:size])
        rest = rest[size:]
    if rest:
        pieces.append(rest)
    coded = "".join(f"{len(p):x}{extension}\r\n{p}\r\n" for p in pieces)
    coded += f"0{extension}\r\n" + "".join(f"{line}\r\n" for line in trailer) + "\r\n"
    return http_answer(coded, status=status, content_length=False, extra_lines=[header])


def soap_answer(action="AddPortMapping", service_type=WAN_IP, arguments=None):
    """A success answer; arguments: the out-arguments' XML, None for an empty element."""
    inner = "/>" if arguments is None else f">{arguments}</u:{action}Response>"
    body = ('<?xml version="1.0"?>\r\n<s:Envelope xmlns:s="http://schemas.xmlsoap.org/soap/'
            'envelope/" s:encodingStyle="http://schemas.xmlsoap.org/soap/encoding/">'
            f'<s:Body><u:{action}Response xmlns:u="{service_type}"{inner}</s:Body></s:Envelope>'
            '\r\n')
    return http_answer(body)


def status_info_answer(status="Connected", service_type=WAN_IP):
    """The answer to GetStatusInfo: the connection is in state `status`."""
    return soap_answer("GetStatusInfo", service_type,
                       f"<NewConnectionStatus>{status}</NewConnectionStatus>"
                       "<NewLastConnectionError>ERROR_NONE</NewLastConnectionError>"
                       "<NewUptime>3600</NewUptime>")


def ssdp_notify(nts="ssdp:alive", nt=IGD, bootid=1, location=None, source="192.168.77.1"):
    """An SSDP NOTIFY as a gateway multicasts it; bootid None leaves out BOOTID.UPNP.ORG and
    01-NLS.  A byebye carries no LOCATION, CACHE-CONTROL or SERVER."""
    usn = "uuid:3d3cec3a-8cf0-11e0-98ee-001a6bd2d07b" + ("" if nt.startswith("uuid:")
                                                         else "::" + nt)
    lines = ["NOTIFY * HTTP/1.1", f"HOST: {SSDP_GROUP}:{SSDP_PORT}"]
    if nts == "ssdp:alive":
        lines += ["CACHE-CONTROL: max-age=120",
                  f"LOCATION: {location or f'http://{source}:5000/rootDesc.xml'}",
                  "SERVER: Debian/12 UPnP/1.1 fakegw/1.0"]
    lines += [f"NT: {nt}", f"USN: {usn}", f"NTS: {nts}",
              "OPT: \"http://schemas.upnp.org/upnp/1/0/\"; ns=01"]
    if bootid is not None:
        lines += [f"01-NLS: {bootid}", f"BOOTID.UPNP.ORG: {bootid}", "CONFIGID.UPNP.ORG: 1337"]
    return "\r\n".join(lines) + "\r\n\r\n"


def mapping_entry_answer(internal_port, internal_client="192.168.77.20",
                         description="Verimon veri.test", lease=0, enabled=1,
                         service_type=WAN_IP):
    """The answer to GetSpecificPortMappingEntry: the mapping exists, to that client."""
    return soap_answer("GetSpecificPortMappingEntry", service_type,
                       f"<NewInternalPort>{internal_port}</NewInternalPort>"
                       f"<NewInternalClient>{internal_client}</NewInternalClient>"
                       f"<NewEnabled>{enabled}</NewEnabled>"
                       f"<NewPortMappingDescription>{description}</NewPortMappingDescription>"
                       f"<NewLeaseDuration>{lease}</NewLeaseDuration>")


def soap_fault(code=718, text="ConflictInMappingEntry"):
    body = ('<?xml version="1.0"?>\r\n<s:Envelope xmlns:s="http://schemas.xmlsoap.org/soap/'
            'envelope/" s:encodingStyle="http://schemas.xmlsoap.org/soap/encoding/"><s:Body>'
            "<s:Fault><faultcode>s:Client</faultcode><faultstring>UPnPError</faultstring>"
            '<detail><UPnPError xmlns="urn:schemas-upnp-org:control-1-0">'
            f"<errorCode>{code}</errorCode><errorDescription>{text}</errorDescription>"
            "</UPnPError></detail></s:Fault></s:Body></s:Envelope>\r\n")
    return http_answer(body, status="HTTP/1.1 500 Internal Server Error")


TEMPLATES = {"ssdp_answer": ssdp_answer, "description": description,
             "http_answer": http_answer, "chunked_answer": chunked_answer,
             "service_xml": service_xml, "soap_answer": soap_answer,
             "status_info_answer": status_info_answer, "soap_fault": soap_fault,
             "ssdp_notify": ssdp_notify, "mapping_entry_answer": mapping_entry_answer}


def expand(value):
    """A scenario TEXT: a string, or a template object expanded recursively."""
    if isinstance(value, str):
        return value
    if isinstance(value, list):
        return [expand(v) for v in value]
    if isinstance(value, dict) and "template" in value:
        params = {k: expand(v) for k, v in value.items() if k != "template"}
        return TEMPLATES[value["template"]](**params)
    raise ValueError(f"not a text: {value!r}")


# ---------------------------------------------------------------------------- the gateway

def _text(data):
    return data.decode("latin-1")


class Recorder:
    def __init__(self, path):
        self.path = path
        self.start = time.monotonic()
        self.lock = threading.Lock()
        self.record = {"ssdp": [], "ssdp_sent": [], "tcp": [], "pcp": [], "pcp_sent": [],
                       "notify_sent": []}

    def now(self):
        return round(time.monotonic() - self.start, 4)

    def write(self):
        with self.lock:
            text = json.dumps(self.record, indent=1)
        temporary = self.path + ".part"
        with open(temporary, "w") as f:
            f.write(text)
        os.replace(temporary, self.path)


def _request_complete(data):
    """True once the header end and, when a Content-Length is given, the whole body are in."""
    end = data.find(b"\r\n\r\n")
    if end < 0:
        return False
    length = 0
    for line in data[:end].split(b"\r\n")[1:]:
        name, _, value = line.partition(b":")
        if name.strip().lower() == b"content-length":
            try:
                length = int(value.strip())
            except ValueError:
                length = 0
    return len(data) >= end + 4 + length


def _soap_action(text):
    """The action a request's SOAPAction header names (after "#"), or None."""
    head = text.partition("\r\n\r\n")[0]
    for line in head.split("\r\n")[1:]:
        name, _, value = line.partition(":")
        if name.strip().lower() == "soapaction":
            return value.strip().strip('"').rpartition("#")[2] or None
    return None


class _ActionChooser:
    """A listener's answers chosen by SOAP action: each action's list in turn, and the
    "answers" list in turn for every other request (but BACKGROUND_ACTION, below, unless
    the plan names it)."""

    def __init__(self, plan):
        self.others = plan.get("answers") or [{}]
        self.actions = plan.get("actions") or {}
        self.request_wait = plan.get("request_wait", 2)
        self.counts = {}
        self.lock = threading.Lock()

    def choose(self, action):
        if action == BACKGROUND_ACTION and action not in self.actions:
            return {"chunks": [{"data": external_address_answer()}]}
        answers = self.actions.get(action) if action in self.actions else self.others
        key = action if action in self.actions else None
        with self.lock:
            n = self.counts.get(key, 0)
            self.counts[key] = n + 1
        return answers[min(n, len(answers) - 1)] if answers else {}


# The keeper's own question after an add, which the answer lists of scenarios are not about:
# it is answered with a public address (so nothing goes beyond this gateway) and takes no
# turn of the list.
BACKGROUND_ACTION = "GetExternalIPAddress"
PUBLIC_ADDRESS = "8.8.4.77"


def external_address_answer(address=PUBLIC_ADDRESS):
    return soap_answer(BACKGROUND_ACTION, arguments=f"<NewExternalIPAddress>{address}"
                                                    "</NewExternalIPAddress>")


class _ListChooser:
    """A listener's answers in turn, one per request, but for BACKGROUND_ACTION."""

    def __init__(self, answers):
        self.answers = answers
        self.served = 0
        self.lock = threading.Lock()

    @property
    def request_wait(self):
        with self.lock:
            following = self.answers[min(self.served, len(self.answers) - 1)] \
                if self.answers else {}
        return following.get("request_wait", 2)

    def choose(self, action):
        if action == BACKGROUND_ACTION:
            return {"chunks": [{"data": external_address_answer()}]}
        with self.lock:
            n = self.served
            self.served += 1
        return self.answers[min(n, len(self.answers) - 1)] if self.answers else {}


class Gateway:
    def __init__(self, scenario, recorder):
        self.scenario = scenario
        self.recorder = recorder
        self.address = scenario.get("address", "192.168.77.1")
        self.stopping = threading.Event()
        self.sockets = []
        self.ssdp_sources = {}  # address -> UDP socket bound to it, port 1900
        self.action_times = {}  # SOAP action -> monotonic time its first request was read

    # ---- SSDP
    def start_ssdp(self):
        plan = self.scenario.get("ssdp")
        if plan is False:
            return
        for datagram in (plan or {}).get("datagrams", []):
            source = datagram.get("source")
            if source and source not in self.ssdp_sources:
                other = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
                other.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
                other.bind((source, SSDP_PORT))
                self.sockets.append(other)
                self.ssdp_sources[source] = other
        sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        sock.bind(("0.0.0.0", SSDP_PORT))
        membership = struct.pack("4s4s", socket.inet_aton(SSDP_GROUP),
                                 socket.inet_aton(self.address))
        sock.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP, membership)
        sock.setsockopt(socket.IPPROTO_IP, IP_PKTINFO, 1)
        sock.settimeout(0.2)
        self.sockets.append(sock)
        threading.Thread(target=self._ssdp_loop, args=(sock,), daemon=True).start()

    def _ssdp_loop(self, sock):
        plan = self.scenario.get("ssdp")
        after = int(plan.get("after", 1)) if plan else 0
        searches = 0
        while not self.stopping.is_set():
            try:
                data, ancillary, _flags, source = sock.recvmsg(70000, 256)
            except socket.timeout:
                continue
            except OSError:
                return
            destination = None
            for level, kind, blob in ancillary:
                if level == socket.IPPROTO_IP and kind == IP_PKTINFO and len(blob) >= 12:
                    destination = socket.inet_ntoa(blob[8:12])
            with self.recorder.lock:
                self.recorder.record["ssdp"].append(
                    {"t": self.recorder.now(), "source": list(source),
                     "destination": destination, "data": _text(data)})
            if data.startswith(b"M-SEARCH"):
                searches += 1
                if plan and searches == after:
                    threading.Thread(target=self._answer_search, args=(sock, source, plan),
                                     daemon=True).start()

    def _answer_search(self, sock, source, plan):
        began = time.monotonic()
        for datagram in plan.get("datagrams", []):
            due = began + float(datagram.get("delay", 0))
            if self.stopping.wait(max(0.0, due - time.monotonic())):
                return
            payload = expand(datagram.get("data", "")).encode("latin-1")
            sender = datagram.get("source")
            try:
                self.ssdp_sources.get(sender, sock).sendto(payload, source)
            except OSError as error:
                print(f"fakegw: SSDP send failed: {error}", file=sys.stderr)
                continue
            with self.recorder.lock:
                self.recorder.record["ssdp_sent"].append(
                    {"t": self.recorder.now(), "to": list(source), "source": sender,
                     "length": len(payload)})

    # ---- NOTIFY
    def start_notify(self):
        for burst in self.scenario.get("notify") or []:
            source = burst.get("source", self.address)
            sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            sock.bind((source, int(burst.get("source_port", 0))))
            sock.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF, socket.inet_aton(source))
            sock.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_LOOP, 0)
            sock.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_TTL, 2)
            self.sockets.append(sock)
            threading.Thread(target=self._notify_burst, args=(sock, burst, source),
                             daemon=True).start()

    def _notify_burst(self, sock, burst, source):
        began = time.monotonic()
        action = burst.get("after_action")
        while action:  # wait for the request it follows
            with self.recorder.lock:
                seen = self.action_times.get(action)
            if seen is not None:
                began = seen
                break
            if self.stopping.wait(0.02):
                return
        began += float(burst.get("delay", burst.get("at", 0)))
        nts, bootid = burst.get("nts", "ssdp:alive"), burst.get("bootid", 1)
        step = int(burst.get("bootid_step", 0))
        rate = float(burst.get("rate", 1000))
        for k in range(int(burst.get("count", 1))):
            this_bootid = bootid + k * step if bootid is not None else None
            payload = (expand(burst["data"]) if "data" in burst else
                       ssdp_notify(nts, burst.get("nt", IGD), this_bootid, burst.get("location"),
                                   source)).encode("latin-1")
            if self.stopping.wait(max(0.0, began + k / rate - time.monotonic())):
                return
            try:
                sock.sendto(payload, (SSDP_GROUP, SSDP_PORT))
            except OSError as error:
                print(f"fakegw: NOTIFY send failed: {error}", file=sys.stderr)
                continue
            with self.recorder.lock:
                self.recorder.record["notify_sent"].append(
                    {"t": self.recorder.now(), "source": list(sock.getsockname()),
                     "nts": nts, "bootid": this_bootid})

    # ---- HTTP
    def start_http(self):
        for key, answers in self.scenario.get("http", {}).items():
            address, _, port = key.rpartition(":")
            address, port = address or self.address, int(port)
            sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            sock.bind((address, port))
            sock.listen(16)
            sock.settimeout(0.2)
            self.sockets.append(sock)
            threading.Thread(target=self._accept_loop, args=(sock, address, port, answers),
                             daemon=True).start()

    def _accept_loop(self, sock, address, port, answers):
        # Chosen by the request's SOAP action, or in turn.
        chooser = _ActionChooser(answers) if isinstance(answers, dict) else _ListChooser(answers)
        while not self.stopping.is_set():
            try:
                connection, peer = sock.accept()
            except socket.timeout:
                continue
            except OSError:
                return
            answer = chooser
            entry = {"address": address, "port": port, "peer": list(peer),
                     "t_connect": self.recorder.now(), "t_request": None, "t_answered": None,
                     "t_peer_closed": None, "t_closed": None, "reads": [], "data": "",
                     "action": None}
            with self.recorder.lock:
                self.recorder.record["tcp"].append(entry)
            threading.Thread(target=self._serve, args=(connection, entry, answer),
                             daemon=True).start()

    def _read(self, connection, entry, until):
        """Reads what arrives until `until` (monotonic) or the peer closes; False on close."""
        while not self.stopping.is_set():
            left = until - time.monotonic()
            if left <= 0:
                return True
            if not self._receive(connection, entry, min(left, 0.2)):
                return False
        return False

    def _serve(self, connection, entry, answer):
        open_ = True
        try:
            wait = float(answer.request_wait)
            # The request: read until it is complete, or `wait` seconds without progress.
            deadline = time.monotonic() + wait
            while open_ and not _request_complete(entry["data"].encode("latin-1")):
                seen = len(entry["data"])
                open_ = self._read_some(connection, entry, deadline)
                if len(entry["data"]) > seen:
                    deadline = time.monotonic() + wait
                elif time.monotonic() >= deadline:
                    break
            entry["t_request"] = self.recorder.now()
            action = _soap_action(entry["data"])
            entry["action"] = action
            if action:
                with self.recorder.lock:
                    self.action_times.setdefault(action, time.monotonic())
            answer = answer.choose(action)
            for chunk in answer.get("chunks", []):
                pause_end = time.monotonic() + float(chunk.get("delay", 0))
                if open_:
                    open_ = self._read(connection, entry, pause_end)
                else:
                    self.stopping.wait(max(0.0, pause_end - time.monotonic()))
                try:
                    connection.sendall(expand(chunk.get("data", "")).encode("latin-1"))
                except OSError:
                    break
            entry["t_answered"] = self.recorder.now()
            then = answer.get("then", "close")
            if isinstance(then, dict) and "hold" in then and open_:
                open_ = self._read(connection, entry, time.monotonic() + float(then["hold"]))
            elif then == "end" and open_:
                # The answer ends with the connection, as an HTTP/1.0 stack ends it: our side
                # is closed, and the peer's close is waited for and recorded.
                connection.shutdown(socket.SHUT_WR)
                self._read(connection, entry, time.monotonic() + 15)
        finally:
            connection.close()
            entry["t_closed"] = self.recorder.now()

    def _read_some(self, connection, entry, deadline):
        """One read of the request, waiting at most until deadline; False on close."""
        return self._receive(connection, entry, max(0.01, min(deadline - time.monotonic(), 0.2)))

    def _receive(self, connection, entry, timeout):
        """One read of at most `timeout` seconds, recorded; False when the peer closed."""
        connection.settimeout(timeout)
        try:
            data = connection.recv(65536)
        except socket.timeout:
            return True
        except OSError:
            data = b""
        with self.recorder.lock:
            if not data:
                entry["t_peer_closed"] = self.recorder.now()
                return False
            entry["reads"].append({"t": self.recorder.now(), "data": _text(data)})
            entry["data"] += _text(data)
        return True

    def stop(self):
        self.stopping.set()
        for sock in self.sockets:
            try:
                sock.close()
            except OSError:
                pass


class Played:
    """The test's side: this script run inside namespace `ns` (a netns.Namespace) with
    `scenario`, its files at base + ".scenario.json" and ".record.json"; stop() ends it and
    returns its record."""

    def __init__(self, ns, scenario, base):
        self.record_path = base + ".record.json"
        with open(base + ".scenario.json", "w") as f:
            json.dump(scenario, f)
        root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
        self.process = ns.popen([sys.executable, "-m", "testbed.fakegw", base + ".scenario.json",
                                 self.record_path], env=dict(os.environ, PYTHONPATH=root),
                                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE)
        ready, _, _ = select.select([self.process.stdout], [], [], 20)
        if not ready or self.process.stdout.readline().strip() != b"ready":
            self._end()
            raise RuntimeError(f"the fake gateway in {ns.name} did not start")

    def stop(self):
        self._end()
        with open(self.record_path) as f:
            return json.load(f)

    def _end(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
        try:
            self.process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        self.process.stdout.close()


def main(argv):
    if len(argv) != 3:
        print("usage: python3 -m testbed.fakegw SCENARIO.json RECORD.json", file=sys.stderr)
        return 2
    with open(argv[1]) as f:
        scenario = json.load(f)
    recorder = Recorder(argv[2])
    gateway = Gateway(scenario, recorder)
    done = threading.Event()

    def finish(_signum, _frame):
        done.set()

    signal.signal(signal.SIGTERM, finish)
    signal.signal(signal.SIGINT, finish)
    signal.signal(signal.SIGUSR1, lambda _s, _f: recorder.write())
    gateway.start_ssdp()
    gateway.start_http()
    gateway.start_notify()
    if "pcp" in scenario:
        fakepcp.Responder(gateway).start()
    recorder.write()
    print("ready", flush=True)
    done.wait(float(scenario.get("max_seconds", 60)))
    gateway.stop()
    time.sleep(0.3)  # let the serving threads note their last bytes
    recorder.write()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
