"""A real Internet gateway for the tests: miniupnpd inside the gw namespace of a netns.Lan
(or in the outer router of a netns.TwoRouterLan, through its outer_side()).

The gateway is the daemon as it ships: it answers every search it hears (the WANPPPConnection
one too, although it offers no such service) and describes itself as an IGDv2 device whose
connection service is WANIPConnection:2.  igd_v1=True gives the IGDv1 view of the same daemon
(force_igd_desc_v1), whose description names version 1 of every service.  Its nftables tables
are made here (the packaged init script is unusable), the daemon runs in the foreground with
its own config and pid file, and everything is removed with the namespaces.  Probes check real forwarding: a client in the isp namespace sends to
the gateway's WAN address and a listener in the lan namespace must see it.  On a LAN with
IPv6 (ipv6=True) the same daemon also opens inbound IPv6 pinholes (UPnP AddPinhole, PCP MAP
for an IPv6 client): accept rules in its forward chain (pinholes()), checked by reach6 from the
isp namespace straight to the LAN host's address.
"""
import ipaddress
import shutil
import subprocess
import time
import uuid

from . import netns, workspace
from .helper_process import stop_process

HTTP_PORT = 5000

_NFT_TABLES = """
table inet filter {
    chain miniupnpd { }
    chain forward {
        type filter hook forward priority 0; policy accept;
        jump miniupnpd
    }
}
table inet nat {
    chain prerouting_miniupnpd { }
    chain postrouting_miniupnpd { }
    chain prerouting {
        type nat hook prerouting priority dstnat; policy accept;
        jump prerouting_miniupnpd
    }
    chain postrouting {
        type nat hook postrouting priority srcnat; policy accept;
        jump postrouting_miniupnpd
    }
}
"""

_REFUSE_HTTP = """
table inet refuse_http {{
    chain input {{
        type filter hook input priority filter - 10; policy accept;
        tcp dport {port} reject with tcp reset
    }}
}}
"""

# With IPv6 (netns.Lan(ipv6=True)) the forward chain lets through what belongs to a connection
# already allowed, then what the daemon's chain accepts (its pinholes, and the accept rules
# of its IPv4 mappings), and drops every other IPv6 packet from the WAN: a port without a
# pinhole is closed from the outside.  IPv4 goes on as without IPv6 (policy accept).
_FORWARD6 = """\
        ct state established,related accept
        jump miniupnpd
        iifname "{wan}" meta nfproto ipv6 drop
"""

# Listener run inside the lan namespace: accepts TCP connections (or UDP datagrams) on
# ADDRESS:PORT, answers each with "echo:" + what it got, and prints one line per contact.
_LISTENER = r"""
import socket, sys
address, port, kind = sys.argv[1], int(sys.argv[2]), sys.argv[3]
family = socket.AF_INET6 if ":" in address else socket.AF_INET
if kind == "tcp":
    s = socket.socket(family, socket.SOCK_STREAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.bind((address, port)); s.listen(16)
    print("ready", flush=True)
    while True:
        c, peer = s.accept()
        c.settimeout(3)
        try:
            data = c.recv(256)
            c.sendall(b"echo:" + data)
            print("got", peer[0], data.decode(errors="replace"), flush=True)
        except OSError:
            pass
        finally:
            c.close()
else:
    s = socket.socket(family, socket.SOCK_DGRAM)
    s.bind((address, port))
    print("ready", flush=True)
    while True:
        data, peer = s.recvfrom(2048)
        s.sendto(b"echo:" + data, peer)
        print("got", peer[0], data.decode(errors="replace"), flush=True)
"""

# Client run inside the isp namespace: prints "ok" when the echo of its token came back.
_CLIENT = r"""
import socket, sys
address, port, kind, token, wait = sys.argv[1], int(sys.argv[2]), sys.argv[3], sys.argv[4], float(sys.argv[5])
try:
    if kind == "tcp":
        s = socket.create_connection((address, port), timeout=wait)
        s.settimeout(wait)
        s.sendall(token.encode())
        data = s.recv(256)
    else:
        s = socket.socket(socket.AF_INET6 if ":" in address else socket.AF_INET,
                          socket.SOCK_DGRAM)
        s.settimeout(wait)
        s.sendto(token.encode(), (address, port))
        data, _ = s.recvfrom(2048)
    print("ok" if data == b"echo:" + token.encode() else "bad " + repr(data))
except OSError as error:
    print("fail", type(error).__name__, error)
"""


class Gateway:
    """miniupnpd serving the LAN side of `lan` (a netns.Lan with an isp namespace, or the
    outer_side() of a netns.TwoRouterLan; the daemon allows mappings for lan.LAN_NET).
    upnp=False: no SSDP answers and no HTTP port.  natpmp=True: PCP and NAT-PMP on UDP 5351
    of the LAN address.  max_lifetime caps PCP lifetimes (miniupnpd leaves NAT-PMP ones).
    secure=False lets any LAN host map for, and delete the mappings of, any other, as many
    routers ship."""

    def __init__(self, lan, extra_rules=(), igd_v1=False, upnp=True, natpmp=False,
                 max_lifetime=None, secure=True):
        if lan.isp is None:
            raise ValueError("the gateway needs a WAN side")
        self.lan = lan
        self.dir = workspace.work_dir("gateway")
        self.config = f"{self.dir}/miniupnpd.conf"
        self.pidfile = f"{self.dir}/miniupnpd.pid"
        self.log_path = f"{self.dir}/miniupnpd.log"
        tables = _NFT_TABLES
        if getattr(lan, "ipv6", False):
            tables = tables.replace("        jump miniupnpd\n",
                                    _FORWARD6.format(wan=lan.gw_wan_if))
        lan.gw.run(["nft", "-f", "-"], input=tables)
        rules = list(extra_rules) + [f"allow 1-65535 {lan.LAN_NET} 1-65535",
                                     "deny 0-65535 0.0.0.0/0 0-65535"]
        with open(self.config, "w") as f:
            f.write("\n".join([
                f"ext_ifname={lan.gw_wan_if}",
                f"listening_ip={lan.gw_lan_if}",
                f"http_port={HTTP_PORT}",
                f"enable_natpmp={'yes' if natpmp else 'no'}",
                f"enable_upnp={'yes' if upnp else 'no'}",
                # the daemon exits at start when min_lifetime (120) is not below max_lifetime
                *([f"max_lifetime={max_lifetime}", f"min_lifetime={max_lifetime * 2 // 3}"]
                  if max_lifetime else []),
                f"secure_mode={'yes' if secure else 'no'}",
                "system_uptime=yes",
                *(["force_igd_desc_v1=yes"] if igd_v1 else []),
                "notify_interval=60",
                f"uuid={uuid.uuid4()}",
                "upnp_table_name=filter",
                "upnp_nat_table_name=nat",
                *rules,
                "",
            ]))
        self._log = open(self.log_path, "w")
        self.upnp = upnp
        self._listeners = []
        self._start()

    def _start(self):
        """Starts the daemon and waits until it serves; returns the monotonic time of the
        start (taken just before the process is made)."""
        started = time.monotonic()
        self.process = self.lan.gw.popen(
            ["miniupnpd", "-d", "-f", self.config, "-P", self.pidfile],
            stdin=subprocess.DEVNULL, stdout=self._log, stderr=subprocess.STDOUT)
        self._wait_ready(self.upnp)
        return started

    def _stop(self):
        stop_process(self.process)

    def restart(self):
        """A router restart: the daemon is stopped (SIGTERM, waited for), every rule it made
        is flushed (as a reboot loses them), and it starts again with the same configuration,
        pid file and log.  Returns the monotonic time at which the new daemon was started;
        it serves when this returns."""
        self._stop()
        self._log.write("---- restart\n")
        self._log.flush()
        for table, chain in (("nat", "prerouting_miniupnpd"), ("nat", "postrouting_miniupnpd"),
                             ("filter", "miniupnpd")):
            self.lan.gw.run(["nft", "flush", "chain", "inet", table, chain])
        return self._start()

    def _wait_ready(self, upnp, bound=15.0):
        """Until the HTTP port takes connections, or without UPnP until a NAT-PMP
        external-address request is answered (both asked from the gw namespace)."""
        probe_argv = (["python3", "-c", _CLIENT_CONNECT, self.lan.GW_LAN, str(HTTP_PORT)]
                      if upnp else ["python3", "-c", _NATPMP_PROBE, self.lan.GW_LAN])
        deadline = time.monotonic() + bound
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                raise RuntimeError("miniupnpd ended at start:\n" + self.log())
            probe = self.lan.gw.run(probe_argv, check=False)
            if probe.stdout.strip() == "ok":
                return
            time.sleep(0.2)
        raise RuntimeError("miniupnpd did not start listening:\n" + self.log())

    def refuse_http(self):
        """From now on the daemon's HTTP port answers every new connection with a TCP reset
        (an nft table of its own in the gw namespace), as while the router's web side is
        down; accept_http() lifts it."""
        self.lan.gw.run(["nft", "-f", "-"], input=_REFUSE_HTTP.format(port=HTTP_PORT))

    def accept_http(self):
        self.lan.gw.run(["nft", "delete", "table", "inet", "refuse_http"])

    def log(self):
        self._log.flush()
        with open(self.log_path, errors="replace") as f:
            return f.read()

    def mapping_rules(self):
        """The rules of the nat prerouting chain that miniupnpd fills, one text each."""
        out = self.lan.gw.run(["nft", "list", "chain", "inet", "nat", "prerouting_miniupnpd"]).stdout
        return [line.strip() for line in out.splitlines() if "dnat" in line]

    def has_mapping(self, protocol, external, internal_host, internal_port):
        """True when a dnat rule forwards protocol/external to internal_host:internal_port."""
        target = f"{internal_host}:{internal_port}"
        return any(target in rule.split() for rule in self._rules_of(protocol, external))

    def _rules_of(self, protocol, external):
        """The dnat rules of protocol/external.  miniupnpd writes the protocol as a raw match
        of the IPv4 protocol byte."""
        number = {"tcp": "0x6", "udp": "0x11"}[protocol.lower()]
        found = []
        for rule in self.mapping_rules():
            words = rule.split()
            named = ("@nh,72,8" in words and number in words) or protocol.lower() in words
            if named and any(words[i] == "dport" and words[i + 1] == str(external)
                             for i in range(len(words) - 1)):
                found.append(rule)
        return found

    def mapping_labels(self):
        """{rule text as mapping_rules() gives it: label}.  miniupnpd keeps a label in each
        rule's user data, which only nft's netlink debug listing shows: the UPnP mapping's
        description, "PCP MAP " + the nonce (hex, each 4-byte word reversed) or
        "NAT-PMP <external port> tcp|udp"."""
        out = self.lan.gw.run(["nft", "-a", "--debug=netlink", "list", "chain", "inet", "nat",
                               "prerouting_miniupnpd"]).stdout
        by_handle, handle, labels = {}, None, {}
        for line in out.splitlines():
            words = line.split()
            if words[:3] == ["inet", "nat", "prerouting_miniupnpd"] and len(words) > 3:
                handle = words[3]
            elif words[:2] == ["userdata", "="] and handle:
                by_handle[handle] = line.split("{", 1)[1].rsplit("}", 1)[0].strip()
            elif "dnat" in words and "# handle " in line:
                text, _, number = line.rpartition("# handle ")
                labels[text.strip()] = by_handle.get(number.strip())
        return labels

    def mapping_made_by(self, protocol, external):
        """"PCP", "NAT-PMP" or "UPnP" for the dnat rule of protocol/external, None if none."""
        labels = self.mapping_labels()
        for rule in self._rules_of(protocol, external):
            label = labels.get(rule) or ""
            return ("PCP" if label.startswith("PCP MAP ") else
                    "NAT-PMP" if label.startswith("NAT-PMP ") else "UPnP")
        return None

    def listen(self, kind, port, address=None):
        """Starts a TCP or UDP echo listener in the lan namespace (on the host's IPv4 address,
        or on `address`, which may be an IPv6 one); returns its process."""
        process = start_listener(self.lan.lan, address or self.lan.host_address, kind, port)
        self._listeners.append(process)
        return process

    def reach(self, kind, external_port, wait=2.0):
        """From isp to the gateway's WAN address: True when the lan listener echoed a token."""
        return reaches(self.lan.isp, self.lan.GW_WAN, kind, external_port, wait)

    def reach6(self, kind, address, port, wait=2.0):
        """From isp over IPv6 straight to address:port on the LAN (no NAT): True when the
        lan listener there echoed a token."""
        return reaches(self.lan.isp, address, kind, port, wait)

    def pinholes(self):
        """The daemon's IPv6 pinholes, read from its forward chain: a sorted list of
        (protocol "tcp"/"udp", internal address in RFC 5952 text, internal port)."""
        out = self.lan.gw.run(["nft", "list", "chain", "inet", "filter", "miniupnpd"]).stdout
        found = []
        for line in out.splitlines():
            words = line.split()
            if "@nh,192,128" not in words or "accept" not in words:
                continue
            raw = words[words.index("@nh,192,128") + 1]
            address = ipaddress.IPv6Address(int(raw, 16)).compressed
            port = int(words[words.index("dport") + 1])
            # the protocol is a raw match of the IPv6 next-header byte
            number = words[words.index("@nh,48,8") + 1] if "@nh,48,8" in words else None
            found.append(({"0x6": "tcp", "0x11": "udp"}.get(number, number), address, port))
        return sorted(found)

    def close(self):
        for process in self._listeners:
            process.kill()
            process.wait()
            process.stdout.close()
        self._listeners.clear()
        self._stop()
        self._log.close()
        shutil.rmtree(self.dir, ignore_errors=True)


def start_listener(ns, address, kind, port):
    """A TCP or UDP echo listener on address:port in namespace `ns`, once it listens; its
    process, which the caller ends."""
    process = ns.popen(["python3", "-u", "-c", _LISTENER, address, str(port), kind],
                       stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                       stderr=subprocess.DEVNULL, text=True)
    if process.stdout.readline().strip() != "ready":
        process.kill()
        process.wait()
        raise RuntimeError(f"{kind} listener on {address}:{port} did not start")
    return process


def reaches(ns, address, kind, port, wait=2.0):
    """From namespace `ns` to address:port: True when a listener behind it echoed a token."""
    token = uuid.uuid4().hex[:12]
    result = ns.run(["python3", "-c", _CLIENT, address, str(port), kind, token, str(wait)],
                    check=False, timeout=wait + 10)
    return result.stdout.strip() == "ok"


_CLIENT_CONNECT = r"""
import socket, sys
try:
    socket.create_connection((sys.argv[1], int(sys.argv[2])), timeout=1).close()
    print("ok")
except OSError:
    print("no")
"""


_NATPMP_PROBE = r"""
import socket, sys
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.settimeout(0.5)
try:
    s.sendto(bytes(2), (sys.argv[1], 5351))
    print("ok" if s.recv(64)[:4] == bytes([0, 128, 0, 0]) else "no")
except OSError:
    print("no")
"""


class GatewayLan:
    """A fresh netns.Lan (multi-homed with vpn=True or side=True, each adapter's multicast
    route by its metric with multicast_by_metric=True, with IPv6 by ipv6=True and temporary6)
    with miniupnpd running in its gateway; close() removes both."""

    def __init__(self, extra_rules=(), igd_v1=False, vpn=False, ipv6=False, temporary6=False,
                 multicast_by_metric=False, side=False, **options):
        self.net = (netns.Lan(ipv6=True, temporary6=temporary6) if ipv6 else
                    netns.Lan(vpn=vpn, multicast_by_metric=multicast_by_metric, side=side))
        try:
            self.gateway = Gateway(self.net, extra_rules, igd_v1, **options)
        except Exception:
            self.net.delete()
            raise

    def close(self):
        try:
            self.gateway.close()
        finally:
            self.net.delete()
