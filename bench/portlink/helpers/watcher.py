"""Watcher run inside the lan namespace on the LAN veth (a packet socket sees frames in both
directions, before the namespace's nftables): one line per datagram or segment that matters to
the restart figures, stamped with the monotonic clock (the same clock as the bench's), as
"TIME in|out SRC:PORT>DST:PORT WHAT".

    python3 watcher.py INTERFACE
"""
import re, socket, struct, sys, time
s = socket.socket(socket.AF_PACKET, socket.SOCK_RAW, socket.htons(3))
s.bind((sys.argv[1], 0))
print("ready", flush=True)
OPS = {0: "ANNOUNCE", 1: "MAP", 2: "PEER"}
def port_control(data, request):
    if len(data) < 4:
        return "short"
    if data[0] == 2:
        op = OPS.get(data[1] & 0x7f, str(data[1] & 0x7f))
        life = struct.unpack("!I", data[4:8])[0] if len(data) >= 8 else -1
        if request:
            port = struct.unpack("!H", data[40:42])[0] if len(data) >= 42 else 0
            return f"PCP {op} request lifetime={life} internal={port}"
        epoch = struct.unpack("!I", data[8:12])[0] if len(data) >= 12 else -1
        return f"PCP {op} answer result={data[3]} lifetime={life} epoch={epoch}"
    if data[0] == 0:
        if request:
            return f"NAT-PMP op={data[1]} request"
        life = struct.unpack("!I", data[12:16])[0] if len(data) >= 16 else -1
        return f"NAT-PMP op={data[1] & 0x7f} answer result={data[3]} lifetime={life}"
    return f"version {data[0]}"
def header(data, name):
    m = re.search(rb"(?im)^" + name + rb":[ \t]*([^\r\n]*)", data)
    return m.group(1).decode(errors="replace").strip() if m else "-"
while True:
    frame, where = s.recvfrom(65535)
    now = time.monotonic()
    if len(frame) < 34 or frame[12:14] != b"\x08\x00":
        continue
    ip = frame[14:]
    ihl, total, proto = (ip[0] & 15) * 4, struct.unpack("!H", ip[2:4])[0], ip[9]
    body = ip[ihl:total]
    if len(body) < 8 or proto not in (6, 17):
        continue
    sport, dport = struct.unpack("!HH", body[:4])
    if proto == 17:
        data = body[8:]
        if dport == 5351 or sport == 5351:
            what = port_control(data, dport == 5351)
        elif dport in (1900, 5350) and data[:6] == b"NOTIFY":
            what = (f"SSDP NOTIFY {header(data, b'NTS')} NT={header(data, b'NT')} "
                    f"BOOTID={header(data, b'BOOTID.UPNP.ORG')}")
        elif dport == 5350:
            what = port_control(data, False) + " (to 5350)"
        else:
            continue
    else:
        data = body[(body[12] >> 4) * 4:] if len(body) >= 20 else b""
        if dport == 5000 and data[:4] == b"POST":
            m = re.search(rb'(?i)SOAPAction:[ \t]*"?[^#"\r\n]*#(\w+)', data)
            what = "SOAP " + (m.group(1).decode() if m else "?")
        elif sport == 5000 and data[:5] == b"HTTP/":
            what = data.split(b"\r\n", 1)[0].decode(errors="replace")
        else:
            continue
    src, dst = socket.inet_ntoa(ip[12:16]), socket.inet_ntoa(ip[16:20])
    side = "out" if where[2] == socket.PACKET_OUTGOING else "in"
    print(f"{now:.4f} {side} {src}:{sport}>{dst}:{dport} {what}", flush=True)
