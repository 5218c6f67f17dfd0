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
        self.home = self._bind(gateway.address)
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

    def _loop(self):
        recorder, sockets = self.gateway.recorder, list({*self.senders, self.home})
        while not self.gateway.stopping.is_set():
            try:
                ready, _, _ = select.select(sockets, [], [], 0.2)
                for sock in ready:
                    data, source = sock.recvfrom(2048)
                    with recorder.lock:
                        recorder.record["pcp"].append(
                            {"t": recorder.now(), "source": list(source),
                             "destination": sock.getsockname()[0], "data": data.decode("latin-1")})
                    self.received += 1
                    if self.plan is not None and self.received > int(self.plan.get("skip", 0)):
                        answer = self._answer(data)
                        if answer:
                            self._send(answer, source)
            except (OSError, ValueError):  # the sockets were closed: the gateway stops
                return

    def _send(self, answer, to):
        recorder = self.gateway.recorder
        for sock in self.senders:
            try:
                sock.sendto(answer, to)
            except OSError as error:
                print(f"fakepcp: send failed: {error}", file=sys.stderr)
                continue
            with recorder.lock:
                recorder.record["pcp_sent"].append(
                    {"t": recorder.now(), "to": list(to), "source": sock.getsockname()[0],
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
        cap = self.plan.get("lifetime_cap")
        return min(asked, cap) if cap is not None else asked

    def _answer(self, data):
        request = decode(data)
        version, op = request.get("version"), request.get("opcode")
        if request.get("response", True) or version not in (0, 2):
            return None
        epoch, refusal = self._epoch(), int(self.plan.get("result", 0))
        offset = int(self.plan.get("port_offset", 0))
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
        external = (request["external"] or request["internal"]) + offset if lifetime else 0
        return struct.pack("!BBHIHHI", 0, 128 + op, refusal, epoch, request["internal"],
                           request["external"] if refusal else external, lifetime)
