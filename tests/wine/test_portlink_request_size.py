"""A request that does not fit the exchange's 10240-byte buffer with its terminating zero is
refused before anything is sent: a control URL long enough to make the remove's first request
(the GetSpecificPortMappingEntry POST it asks about a port this process does not hold) exactly
10240 bytes gets false and no connection, one byte shorter is sent whole, and so is the
shorter DeletePortMapping POST that follows it."""
import unittest

from testbed import fakegw
from tests.wine.portlink_fixture import (GW, WAN_IP, PortlinkGroup, check_post, delete_post,
                                         description_get, entry_of, normal_scenario)

BUFFER = 10240
SEARCH = ["startSearch()", "wait-search(25000)", "isSearchSucces()"]


def path_for_request_of(size):
    """The control path that makes check_post(80, "TCP") exactly `size` bytes long."""
    overhead = len(check_post(80, "TCP", path="/").encode("latin-1")) - 1
    return "/" + "p" * (size - overhead - 1)


def small_description(control_path):
    # Only what the parser needs, so that a path of almost the whole buffer still leaves the
    # description answer within 10240 bytes.
    return (f"<root><URLBase>http://{GW}:5000/</URLBase><service><serviceType>{WAN_IP}"
            f"</serviceType><controlURL>{control_path}</controlURL></service></root>")


class RequestSize(PortlinkGroup):

    def run_delete(self, request_size):
        path = path_for_request_of(request_size)
        self.assertEqual(len(check_post(80, "TCP", path=path)), request_size)
        description = small_description(path)
        self.assertLessEqual(len(fakegw.http_answer(description)), BUFFER)
        return path, self.play(entry_of(normal_scenario(description)),
                               SEARCH + ["removeNATPortMapping(80,1)"])

    def test_request_filling_the_buffer_is_not_sent(self):
        _, run = self.run_delete(BUFFER)
        self.assertAnswers(run, ["true", "true", "true", "false"])
        self.assertEqual(run.requests(5000), [description_get()], run)

    def test_request_one_byte_shorter_is_sent_whole(self):
        path, run = self.run_delete(BUFFER - 1)
        self.assertAnswers(run, ["true", "true", "true", "true"])
        self.assertEqual(run.requests(5000), [description_get(), check_post(80, "TCP", path=path),
                                              delete_post(80, "TCP", path=path)], run)


if __name__ == "__main__":
    unittest.main()
