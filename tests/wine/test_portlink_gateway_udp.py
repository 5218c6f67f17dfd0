"""portlink against a real gateway (miniupnpd in namespaces): the same as the TCP group for a
UDP mapping (protocol selector 0), in a LAN of its own so the two groups run side by side;
then one mapping on the IGDv1 view of the gateway (its description names version 1 only)."""
import unittest

from tests.wine.portlink_gateway_flow import MappingFlow


class UdpGateway(MappingFlow, unittest.TestCase):
    KIND = "udp"
    SELECTOR = 0


class UdpGatewayIgdV1(MappingFlow, unittest.TestCase):
    KIND = "udp"
    SELECTOR = 0
    IGD_V1 = True
    test_refused_mappings_answer_false = None  # the same on either view; once is enough


if __name__ == "__main__":
    unittest.main()
