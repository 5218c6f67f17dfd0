"""The add on a host whose own address cannot be found: the default route leaves by a link
without an IPv4 address (a veth pair inside the lan namespace, going nowhere), so the
host-name lookup, which lists the interfaces of the default routes first, yields no usable
address and the number stays 0 (which counts as private).  The LAN veth keeps 192.168.77.20
for the traffic with the gateway, and that is the address the add names: the one this host
reached the gateway from."""
import unittest

from tests.wine.portlink_fixture import (HOST, PortlinkGroup, add_post, description_get,
                                         normal_scenario)


class UnknownAddress(PortlinkGroup):

    @classmethod
    def prepare_lan(cls):
        ns = cls.lan.lan
        ns.run(["ip", "link", "add", "nx0", "type", "veth", "peer", "name", "nx1"])
        ns.run(["ip", "link", "set", "nx0", "up"])
        ns.run(["ip", "link", "set", "nx1", "up"])
        ns.run(["ip", "route", "replace", "default", "dev", "nx0"])

    def test_add_goes_ahead_with_address_zero(self):
        run = self.play(normal_scenario(), ["getLocalIP()", "isLANIP()", "startSearch()",
                                            "wait-search(25000)", "isSearchSucces()",
                                            "addNATPortMapping(8080,80,1)", "getLocalIP()"])
        self.assertEqual(run.returncode, 0, run)
        text = run.answers[0]
        # Nothing found gives an empty text; Wine lists the address-less interface as 0.0.0.0.
        self.assertIn(text, ("", "0.0.0.0"))
        self.assertEqual(run.answers[1:], ["true", "true", "true", "true", "true", text])
        self.assertEqual(run.requests(5000), [description_get(),
                                              add_post(80, "TCP", 8080, client=HOST)])


if __name__ == "__main__":
    unittest.main()
