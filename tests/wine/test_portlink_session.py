"""portlink's entry points, function table and session answers, under Wine in namespaces."""
import unittest

from testbed import netns, winebox
from tests.wine.portlink_host import host

TABLE = ["removeNATPortMapping", "addNATPortMapping", "getLocalIP", "isSearchEnd",
         "isSearchSucces", "isLANIP", "startSearch"]


class Sandbox:
    def __init__(self, **lan_options):
        self.lan = netns.Lan(with_isp=False, **lan_options)
        self.box = winebox.WineBox(self.lan.lan)

    def close(self):
        self.box.close()
        self.lan.delete()


class PrivateLan(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.sandbox = Sandbox()
        cls.box = cls.sandbox.box

    @classmethod
    def tearDownClass(cls):
        cls.sandbox.close()

    def test_table_holds_seven_named_functions_in_order(self):
        lines = host(self.box, "list")
        self.assertEqual(lines[0], "7 functions")
        # Each entry: its position, its exact name, and no function data.
        self.assertEqual(lines[1:], [f"{i + 1} {name}" for i, name in enumerate(TABLE)])

    def test_answers_before_any_search(self):
        self.assertEqual(host(self.box, "isSearchEnd()", "isSearchSucces()",
                              "isSearchEnd()"), ["false", "false", "false"])

    def test_local_address_on_a_private_lan(self):
        self.assertEqual(host(self.box, "getLocalIP()", "isLANIP()", "getLocalIP()"),
                         ["192.168.77.20", "true", "192.168.77.20"])

    def test_arguments_are_ignored_by_the_reading_functions(self):
        # Extra, unreadable or absent arguments change nothing for the four readers.
        self.assertEqual(host(self.box, "isLANIP(s:x,7)", "getLocalIP(1,2,3)",
                              "isSearchEnd(s:)", "isSearchSucces(b:1)"),
                         ["true", "192.168.77.20", "false", "false"])

    def test_unload_during_a_run(self):
        # The finalizers release nothing the table needs, and unloading stops the socket layer
        # without harm to the host.
        self.assertEqual(host(self.box, "getLocalIP()", "unload"), ["192.168.77.20", "unloaded"])


class PublicAddress(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.sandbox = Sandbox(lan_address="100.201.0.20")

    @classmethod
    def tearDownClass(cls):
        cls.sandbox.close()

    def test_public_looking_address_is_not_lan(self):
        self.assertEqual(host(self.sandbox.box, "getLocalIP()", "isLANIP()"),
                         ["100.201.0.20", "false"])


class SeveralAddresses(unittest.TestCase):
    """A host whose name resolves to two addresses: only the first one counts."""

    @classmethod
    def setUpClass(cls):
        cls.sandbox = Sandbox(lan_address="192.168.1.20")
        cls.sandbox.lan.lan.run(["ip", "addr", "add", "10.0.0.5/24", "dev",
                                 cls.sandbox.lan.lan_if])

    @classmethod
    def tearDownClass(cls):
        cls.sandbox.close()

    def test_first_address_is_taken(self):
        self.assertEqual(host(self.sandbox.box, "getLocalIP()", "isLANIP()"),
                         ["192.168.1.20", "true"])


if __name__ == "__main__":
    unittest.main()
