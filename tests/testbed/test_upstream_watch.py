"""The count that the upstream bound of the two-router tests rests on."""
import unittest

from testbed.upstream_watch import most_in_window


class MostInWindow(unittest.TestCase):
    def test_the_busiest_minute(self):
        for times, expected in (([], 0),
                                ([5.0], 1),
                                ([0.0, 60.0], 2),           # both ends count
                                ([0.0, 60.5], 1),
                                ([0.0, 1.0, 2.0, 70.0, 71.0], 3),
                                ([0.0, 50.0, 55.0, 59.0, 100.0, 109.0, 115.0], 5),
                                ([3.0, 1.0, 2.0], 3)):       # order of arrival does not matter
            with self.subTest(times=times):
                self.assertEqual(most_in_window([{"t": t} for t in times]), expected)


if __name__ == "__main__":
    unittest.main()
