"""Prober run inside the isp namespace: from the moment it prints "ready", starts a TCP
connection to ADDRESS:PORT (IPv6 or IPv4) every POLL seconds (each given TIMEOUT seconds, a fresh socket and
source port each), until one is answered with the echo of its token; prints
"ok MONOTONIC_TIME_OF_THE_ANSWER TRIES" then, or "none TRIES" after BOUND seconds.

    python3 pinhole_prober.py ADDRESS PORT POLL TIMEOUT BOUND
"""
import socket, sys, time
address, port, poll, timeout, bound = (sys.argv[1], int(sys.argv[2]), float(sys.argv[3]),
                                       float(sys.argv[4]), float(sys.argv[5]))
print("ready", flush=True)
end = time.monotonic() + bound
tries = 0
while time.monotonic() < end:
    began = time.monotonic()
    tries += 1
    s = socket.socket(socket.AF_INET6 if ":" in address else socket.AF_INET, socket.SOCK_STREAM)
    s.settimeout(timeout)
    try:
        s.connect((address, port))
        token = b"probe%d" % tries
        s.sendall(token)
        if s.recv(64) == b"echo:" + token:
            print("ok %.6f %d" % (time.monotonic(), tries), flush=True)
            sys.exit(0)
    except OSError:
        pass
    finally:
        s.close()
    time.sleep(max(0.0, began + poll - time.monotonic()))
print("none %d" % tries, flush=True)
