"""Shared cases of the real-gateway groups: portlink under Wine, through the runtime's host
program, against miniupnpd in the gw namespace of a fresh LAN.  A group class mixes this in
with unittest.TestCase and sets KIND ("tcp"/"udp") and SELECTOR, and IGD_V1 for the IGDv1
view of the gateway (by default it describes itself as it ships, IGDv2).  GatewayHost is the
fixture alone, for groups with cases of their own (VPN for a multi-homed LAN host)."""
import os
import re
import subprocess
import threading
import time

from testbed import gateway, netns, winebox

LAN_PORT = 8080
WAN_PORT = 80
DENIED_WAN_PORT = 22


def until(condition, bound):
    """True once condition() holds, asked every 50 ms; False when `bound` s ran out first."""
    deadline = time.monotonic() + bound
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.05)
    return True


class GatewayHost:
    KIND = "tcp"
    IGD_V1 = False
    VPN = False
    GATEWAY_OPTIONS = {}  # further options of the gateway (UPnP off, PCP on, ...)

    @classmethod
    def setUpClass(cls):
        # The gateway refuses one external port, so that a mapping it will not make is
        # answered with a UPnP fault.
        cls.lan = gateway.GatewayLan(
            extra_rules=[f"deny {DENIED_WAN_PORT} 192.168.77.0/24 1-65535"], igd_v1=cls.IGD_V1,
            vpn=cls.VPN, **cls.GATEWAY_OPTIONS)
        cls.gateway = cls.lan.gateway
        try:
            cls.box = winebox.WineBox(cls.lan.net.lan)
            cls.dll = cls.box.windows_path(os.path.join(winebox.BIN, "portlink.dll"))
            cls.gateway.listen(cls.KIND, LAN_PORT)
        except Exception:
            cls.lan.close()
            raise

    @classmethod
    def tearDownClass(cls):
        try:
            cls.box.close()
        finally:
            cls.lan.close()

    def host(self, *commands, timeout=120):
        """Runs the host with the commands; returns the answers, in order."""
        result = self.box.run("vnxhost.exe", [self.dll, *commands], timeout=timeout)
        out = result.stdout.decode(errors="replace")
        self.assertEqual(result.returncode, 0,
                         f"host failed: {out}\n{result.stderr.decode(errors='replace')[-2000:]}")
        return out.split()

    def live(self, *commands, bound=180):
        """A host run (-v) whose answers are read one by one (LiveHost), so that a case can
        act on the gateway between them."""
        return LiveHost(self.box, self.dll, commands, bound)


class LiveHost:
    """One vnxhost -v process; next() waits for its next answer.  Use it in a with block:
    the process is ended (and waited for) on the way out; it is killed after `bound` s."""

    def __init__(self, box, dll, commands, bound=180):
        self.process = box.popen("vnxhost.exe", ["-v", dll, *commands],
                                 stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                 stderr=subprocess.DEVNULL, text=True)
        self.watchdog = threading.Timer(bound, self.process.kill)
        self.watchdog.start()
        self.answers = []
        self.stamps = []  # the host's own clock (ms) of each answer, as -v prints it

    def next(self):
        """The next answer (the text after " = "); fails when the host ended before it."""
        line = self.process.stdout.readline()
        if not line:
            raise AssertionError(f"the host ended after {self.answers} "
                                 f"(exit {self.process.wait()})")
        stamp = re.match(r"\[\s*(\d+) ms\]", line)
        self.stamps.append(int(stamp.group(1)) if stamp else None)
        self.answers.append(line.rstrip().partition(" = ")[2])
        return self.answers[-1]

    def rest(self):
        """Every answer still to come, once the host has ended; all of them in order."""
        for line in self.process.stdout:
            self.answers.append(line.rstrip().partition(" = ")[2])
        self.process.wait()
        return self.answers

    def __enter__(self):
        return self

    def __exit__(self, *_):
        self.watchdog.cancel()
        if self.process.poll() is None:
            self.process.kill()
        self.process.wait()
        self.process.stdout.close()


class MappingFlow(GatewayHost):
    SELECTOR = 1

    @property
    def protocol(self):
        return "tcp" if self.SELECTOR == 1 else "udp"

    def mapped(self, wan_port=WAN_PORT):
        return self.gateway.has_mapping(self.protocol, wan_port, netns.Lan.LAN_HOST, LAN_PORT)

    def test_search_map_reach_remove(self):
        self.assertFalse(self.gateway.reach(self.KIND, WAN_PORT), "forwarded before mapping")
        answers = self.host("isSearchEnd()", "isSearchSucces()",
                            # no gateway known yet: nothing may be reported as mapped
                            f"addNATPortMapping({LAN_PORT},{WAN_PORT},{self.SELECTOR})",
                            "startSearch()", "wait-search(20000)", "isSearchEnd()",
                            "isSearchSucces()",
                            f"addNATPortMapping({LAN_PORT},{WAN_PORT},{self.SELECTOR})")
        self.assertEqual(answers, ["false", "false", "false", "true", "true", "true", "true",
                                   "true"], self.gateway.log())
        self.assertTrue(self.mapped(), self.gateway.mapping_rules())
        self.assertTrue(self.gateway.reach(self.KIND, WAN_PORT), "mapping does not forward")

        # A new process: discovery runs once per process, the mapping outlives it.
        answers = self.host("startSearch()", "wait-search(20000)",
                            f"removeNATPortMapping({WAN_PORT},{self.SELECTOR})")
        self.assertEqual(answers, ["true", "true", "true"], self.gateway.log())
        self.assertFalse(self.mapped(), self.gateway.mapping_rules())
        self.assertFalse(self.gateway.reach(self.KIND, WAN_PORT), "still forwarded")

    def test_refused_mappings_answer_false(self):
        answers = self.host("startSearch()", "wait-search(20000)", "isSearchSucces()",
                            # 65536 is sent as external port 0, which the gateway rejects
                            f"addNATPortMapping({LAN_PORT},65536,{self.SELECTOR})",
                            # a port the gateway's rules do not allow
                            f"addNATPortMapping({LAN_PORT},{DENIED_WAN_PORT},{self.SELECTOR})")
        self.assertEqual(answers, ["true", "true", "true", "false", "false"],
                         self.gateway.log())
        self.assertEqual(self.gateway.mapping_rules(), [])
