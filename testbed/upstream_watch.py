"""What leaves a router's WAN link: a capture of the outgoing IPv4 packets of one interface.

It runs inside the router's namespace (a packet socket on that interface, so it sees packets
as they are sent, after the router's own address translation):

    python3 -m testbed.upstream_watch IFNAME

prints "ready" once it captures, then one JSON line per outgoing IPv4 packet: "t" (monotonic
time), "proto" ("udp", "tcp", "icmp" or the number), "dst", "ttl", and for UDP "dport" and
"text" (the payload's first 512 bytes, latin-1), for TCP "dport", for ICMP "type".
UpstreamWatch starts it and reads those lines.
"""
import json
import socket
import struct
import sys
import time

ETH_P_ALL = 0x0003
PACKET_OUTGOING = 4
ICMP_ECHO = 8
from .helper_process import JsonLinesProcess


def describe(frame):
    """The record of one Ethernet frame carrying IPv4, or None for anything else."""
    if len(frame) < 34 or frame[12:14] != b"\x08\x00":
        return None
    ip = frame[14:]
    header = (ip[0] & 0x0F) * 4
    proto, dst = ip[9], socket.inet_ntoa(ip[16:20])
    payload = ip[header:]
    record = {"proto": {1: "icmp", 6: "tcp", 17: "udp"}.get(proto, proto), "dst": dst,
              "ttl": ip[8]}
    if proto in (6, 17) and len(payload) >= 4:
        record["dport"] = struct.unpack("!H", payload[2:4])[0]
    if proto == 17:
        record["text"] = payload[8:520].decode("latin-1")
    if proto == 1 and payload:
        record["type"] = payload[0]
    return record


def main(argv):
    if len(argv) != 2:
        print(__doc__, file=sys.stderr)
        return 2
    sock = socket.socket(socket.AF_PACKET, socket.SOCK_RAW, socket.htons(ETH_P_ALL))
    sock.bind((argv[1], 0))
    print("ready", flush=True)
    while True:
        frame, address = sock.recvfrom(65535)
        if address[2] != PACKET_OUTGOING:
            continue
        record = describe(frame)
        if record:
            record["t"] = time.monotonic()
            print(json.dumps(record), flush=True)


class UpstreamWatch:
    """The capture of what leaves `ifname` of namespace `ns`, from now until close()."""

    def __init__(self, ns, ifname):
        self._process = JsonLinesProcess(ns, "testbed.upstream_watch", [ifname],
                                         f"the capture on {ifname}")

    def packets(self, since=None, until=None):
        """Every outgoing packet seen so far (between the monotonic times given), in order."""
        return [p for p in self._process.lines() if (since is None or p["t"] >= since)
                and (until is None or p["t"] <= until)]

    def probes(self, since=None, until=None):
        """The datagrams and ICMP echo requests among them: what a host's probing of the
        network beyond the router costs."""
        return [p for p in self.packets(since, until)
                if p["proto"] == "udp" or (p["proto"] == "icmp" and p.get("type") == ICMP_ECHO)]

    def close(self):
        self._process.close()


def most_in_window(packets, seconds=60.0):
    """The largest number of the packets whose times lie within any `seconds` of each other."""
    times = sorted(p["t"] for p in packets)
    most, first = 0, 0
    for last, t in enumerate(times):
        while t - times[first] > seconds:
            first += 1
        most = max(most, last - first + 1)
    return most


if __name__ == "__main__":
    sys.exit(main(sys.argv))
