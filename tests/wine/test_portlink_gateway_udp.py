"""portlink against a real gateway (miniupnpd in namespaces): the same as the TCP group for a
UDP mapping (protocol selector 0), in a LAN of its own so the two groups run side by side."""
import unittest

from tests.wine.portlink_gateway_flow import MappingFlow


class UdpGateway(MappingFlow, unittest.TestCase):
    KIND = "udp"
    SELECTOR = 0


if __name__ == "__main__":
    unittest.main()
