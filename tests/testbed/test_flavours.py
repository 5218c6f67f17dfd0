"""Which Wine flavours a test run uses: found out by trying each loader, or forced."""
import dataclasses
import os
import subprocess
import sys
import tempfile
import unittest
from unittest import mock

from testbed import flavours

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


class FlavourChoice(unittest.TestCase):
    def test_a_loader_that_cannot_execute_leaves_its_flavour_out_and_says_why(self):
        with tempfile.NamedTemporaryFile(suffix="wine", delete=False) as f:
            f.write(b"\x7fELF not a program this kernel runs")
        os.chmod(f.name, 0o755)
        self.addCleanup(os.unlink, f.name)
        broken = dataclasses.replace(flavours.FLAVOURS["win32"], loader=f.name)
        runs = dataclasses.replace(flavours.FLAVOURS["win64"], loader="/bin/true")
        with mock.patch.dict(flavours.FLAVOURS, win32=broken, win64=runs), \
                mock.patch.dict(os.environ, {"WINE_FLAVOURS": ""}):
            names, why = flavours.choose()
        self.assertEqual(names, ["win64"])
        self.assertIn("win32 cannot run here", why)
        self.assertIn("Exec format error", why)

    def test_wine_flavours_forces_the_set_and_the_run_excludes_the_rest(self):
        env = dict(os.environ, WINE_FLAVOURS="win64", PYTHONPATH=ROOT)
        result = subprocess.run([sys.executable, "-m", "testbed.flavours"], env=env,
                                capture_output=True, text=True, check=True)
        self.assertEqual(result.stdout, "^(win32)$\n")
        self.assertEqual(result.stderr.count("\n"), 1)
        self.assertIn("win64 only: forced by WINE_FLAVOURS", result.stderr)
        with mock.patch.dict(os.environ, {"WINE_FLAVOURS": "win16"}):
            self.assertRaises(SystemExit, flavours.choose)


if __name__ == "__main__":
    unittest.main()
