"""The fake gateway's PCP (RFC 6887) and NAT-PMP (RFC 6886) responder on UDP 5351.

fakegw starts it when the scenario has a "pcp" key (the keys are described there).  Every
datagram it receives and every one it sends goes into the fake gateway's record.  decode()
reads both kinds of message; the tests use it on the record.
"""
import ipaddress
import select
import socket
import struct
import sys
import threading
import time

PORT = 5351
EXTERNAL = "100.200.0.2"
ERROR_LIFETIME = 30  # how long a refusal holds, in PCP answers
ANNOUNCE_GROUP, ANNOUNCE_PORT = "224.0.0.1", 5350  # where unsolicited announcements go
RESEND_WINDOW = 1.9  # a MAP request repeated this soon after its first sending is a resend


def _mapped(address):
    return ipaddress.IPv6Address("::ffff:" + address).packed


def _shown(packed):
    address = ipaddress.IPv6Address(packed)
    return f"::ffff:{address.ipv4_mapped}" if address.ipv4_mapped else str(address)


def decode(data):
    """The fields of a PCP or NAT-PMP message, request or answer, as far as it is long
    enough for them; "hex" and "length" always.  NAT-PMP maps get "protocol" (6 or 17)
    too, as PCP MAP has it."""
    fields = {"hex": data.hex(), "length": len(data)}
    if len(data) < 2:
        return fields
    version, op = data[0], data[1]
    fields.update(version=version, opcode=op & 0x7F, response=op >= 0x80)
    if version == 2 and len(data) >= 24:
        fields["lifetime"] = struct.unpack_from("!I", data, 4)[0]
        if op >= 0x80:
            fields.update(result=data[3], epoch=struct.unpack_from("!I", data, 8)[0])
        else:
            fields["client"] = _shown(data[8:24])
        if op & 0x7F == 1 and len(data) >= 60:
            protocol, internal, external = struct.unpack_from("!B3xHH", data, 36)
            fields.update(nonce=data[24:36].hex(), protocol=protocol, internal=internal,
                          external=external, address=_shown(data[44:60]),
                          options=data[60:].hex())
    elif version == 0:
        if op >= 0x80 and len(data) >= 8:
            fields.update(zip(("result", "epoch"), struct.unpack_from("!HI", data, 2)))
        if op == 0x80 and len(data) >= 12:
            fields["address"] = socket.inet_ntoa(data[8:12])
        map_at = {1: 4, 2: 4, 0x81: 8, 0x82: 8}.get(op)  # where the map fields begin
        if map_at and len(data) >= map_at + 8:
            fields.update(zip(("internal", "external", "lifetime"),
                              struct.unpack_from("!HHI", data, map_at)),
                          protocol=17 if op & 0x7F == 1 else 6)
    return fields


class Responder:
    def __init__(self, gateway):
        self.gateway = gateway  # fakegw.Gateway: recorder, stopping, sockets, address
        self.plan = gateway.scenario["pcp"]
        self.base, self.since = int((self.plan or {}).get("epoch", 1000)), time.monotonic()
        self.received = self.answered = 0
        self._zero = False  # the answer being made grants lifetime 0
        self.exchanges = 0  # MAP exchanges seen (fakegw's "maps" key)
        self._exchange = None  # (bytes, arrival) of the current exchange's first request
        self._map_answer = "grant"  # the scripted answer of the current exchange
        self._map_started = []  # monotonic arrival of each exchange's first datagram
        self.home = self._bind(gateway.address)
        self.home.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF,
                             socket.inet_aton(gateway.address))
        source = (self.plan or {}).get("source")
        self.senders = [self.home]
        if source:
            self.senders = [self._bind(source)] + (
                [self.home] if self.plan.get("also_from_gateway") else [])

    def _bind(self, address):
        sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        sock.bind((address, PORT))
        self.gateway.sockets.append(sock)
        return sock

    def start(self):
        threading.Thread(target=self._loop, daemon=True).start()
        announcements = (self.plan or {}).get("announce") or []
        if announcements:
            threading.Thread(target=self._announce_loop, args=(announcements,),
                             daemon=True).start()

    # ---- unsolicited announcements (a restarted server)
    def _announce_loop(self, announcements):
        began = time.monotonic()
        for entry in announcements:
            while True:  # the time it is due, once its reference point is known
                if "after_map" in entry:
                    n = int(entry["after_map"])
                    due = (self._map_started[n - 1] + float(entry.get("delay", 0))
                           if len(self._map_started) >= n else None)
                else:
                    due = began + float(entry.get("at", 0))
                if due is not None:
                    break
                if self.gateway.stopping.wait(0.05):
                    return
            if self.gateway.stopping.wait(max(0.0, due - time.monotonic())):
                return
            self._announce(entry)

    def _announce(self, entry):
        """One unsolicited announcement to 224.0.0.1:5350: PCP ANNOUNCE (version 2, opcode
        0x80) or, with "natpmp", NAT-PMP's external-address announcement.  Given an epoch,
        the server's clock goes on from it (it restarted); otherwise from where it is."""
        if "epoch" in entry:
            self.base, self.since = int(entry["epoch"]), time.monotonic()
        epoch = self.base + int(time.monotonic() - self.since)
        if entry.get("natpmp"):
            data = struct.pack("!BBHI", 0, 128, 0, epoch) + socket.inet_aton(EXTERNAL)
        else:
            data = struct.pack("!BBBBII12x", 2, 128, 0, 0, 0, epoch)
        sock = self.home
        source = entry.get("source")
        if source:
            address, _, port = source.partition(":")
            sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            sock.bind((address, int(port or PORT)))
            sock.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF, socket.inet_aton(address))
            self.gateway.sockets.append(sock)
        to = (ANNOUNCE_GROUP, ANNOUNCE_PORT)
        recorder = self.gateway.recorder
        # Stamped before the send: what the datagram starts may come back before this thread
        # runs again.
        sent_at = recorder.now()
        try:
            sock.sendto(data, to)
        except OSError as error:
            print(f"fakepcp: announcement failed: {error}", file=sys.stderr)
            return
        with recorder.lock:
            recorder.record["pcp_sent"].append(
                {"t": sent_at, "to": list(to), "source": sock.getsockname()[0],
                 "data": data.decode("latin-1")})

    def _loop(self):
        recorder, sockets = self.gateway.recorder, list({*self.senders, self.home})
        while not self.gateway.stopping.is_set():
            try:
                ready, _, _ = select.select(sockets, [], [], 0.2)
                for sock in ready:
                    data, source = sock.recvfrom(2048)
                    entry = {"t": recorder.now(), "source": list(source),
                             "destination": sock.getsockname()[0], "data": data.decode("latin-1")}
                    scripted = self._script(data)
                    late = (isinstance(scripted, dict) and self._exchange and
                            time.monotonic() - self._exchange[1] < float(scripted.get("after", 0)))
                    if scripted is not None:
                        entry["scripted"] = scripted
                    with recorder.lock:
                        recorder.record["pcp"].append(entry)
                    self.received += 1
                    if (self.plan is not None and self.received > int(self.plan.get("skip", 0))
                            and scripted != "silence" and not late):
                        answer = self._answer(data, scripted)
                        if answer:
                            self._send(answer, source)
            except (OSError, ValueError):  # the sockets were closed: the gateway stops
                return

    def _send(self, answer, to):
        recorder = self.gateway.recorder
        for sock in self.senders:
            sent_at = recorder.now()
            try:
                sock.sendto(answer, to)
            except OSError as error:
                print(f"fakepcp: send failed: {error}", file=sys.stderr)
                continue
            with recorder.lock:
                recorder.record["pcp_sent"].append(
                    {"t": sent_at, "to": list(to), "source": sock.getsockname()[0],
                     "data": answer.decode("latin-1")})
        self.answered += 1

    def _epoch(self):
        epochs = self.plan.get("epochs")
        if epochs:
            return epochs[min(self.answered, len(epochs) - 1)]
        if self.answered == self.plan.get("restart_after"):
            self.base, self.since = 0, time.monotonic()
        return self.base + int(time.monotonic() - self.since)

    def _granted(self, asked):
        if self._zero:
            return 0
        cap = self.plan.get("lifetime_cap")
        return min(asked, cap) if cap is not None else asked

    def _script(self, data):
        """The scripted answer ("maps") for a MAP request (PCP MAP, NAT-PMP map), None for
        anything else or without a script.  A datagram equal to the current exchange's first
        request and less than RESEND_WINDOW s after it is a resend: it belongs to that
        exchange (portlink resends a request for 2 s at most, the last time 1.75 s after the
        first)."""
        request = decode(data)
        maps = (self.plan or {}).get("maps")
        is_map = (not request.get("response", True) and
                  ((request.get("version") == 2 and request.get("opcode") == 1) or
                   (request.get("version") == 0 and request.get("opcode") in (1, 2))))
        if not is_map:
            return None
        now = time.monotonic()
        if not (self._exchange and self._exchange[0] == data
                and now - self._exchange[1] < RESEND_WINDOW):
            self._exchange = (data, now)
            self.exchanges += 1
            self._map_started.append(now)
            self._map_answer = (maps[self.exchanges - 1] if maps and self.exchanges <= len(maps)
                                else "grant")
        return self._map_answer if maps is not None else None

    def _answer(self, data, scripted=None):
        request = decode(data)
        version, op = request.get("version"), request.get("opcode")
        if request.get("response", True) or version not in (0, 2):
            return None
        epoch, refusal = self._epoch(), int(self.plan.get("result", 0))
        if scripted is not None:
            refusal = scripted if isinstance(scripted, int) else 0
        self._zero = scripted == "zero"
        offset = int(self.plan.get("port_offset", 0))
        if isinstance(scripted, dict):
            offset += int(scripted.get("moved", 0))
        if version == 2 and self.plan.get("natpmp_only"):
            return struct.pack("!BBHI", 0, 128 + op, 1, epoch)
        if version == 2:
            result, lifetime, body = (0 if op == 0 else 4), 0, b""
            if op == 1 and "nonce" in request:
                result = refusal
                suggested = request["external"] or request["internal"]
                external, address = ((suggested + offset, _mapped(EXTERNAL)) if not result else
                                     (request["external"], data[44:60]))
                lifetime = ERROR_LIFETIME if result else self._granted(request["lifetime"])
                body = data[24:36] + struct.pack("!B3xHH", request["protocol"],
                                                 request["internal"], external) + address
            elif op == 1:
                result = 3  # MALFORMED_REQUEST
            return struct.pack("!BBBBII12x", 2, 128 + op, 0, result, lifetime, epoch) + body
        if op == 0:
            return struct.pack("!BBHI", 0, 128, 0, epoch) + socket.inet_aton(EXTERNAL)
        if "internal" not in request:
            return struct.pack("!BBHI", 0, 128 + op, 5, epoch)  # unsupported opcode
        lifetime = 0 if refusal else self._granted(request["lifetime"])
        granted = lifetime or (self._zero and request["lifetime"])
        external = (request["external"] or request["internal"]) + offset if granted else 0
        return struct.pack("!BBHIHHI", 0, 128 + op, refusal, epoch, request["internal"],
                           request["external"] if refusal else external, lifetime)
