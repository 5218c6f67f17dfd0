"""The install step against a fake apt-get: a package archive that fails to update, a kernel
that cannot run 32-bit code, and a 32-bit Wine that cannot be installed."""
import dataclasses
import os
import shutil
import subprocess
import tempfile
import unittest
from unittest import mock

from testbed import flavours

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

# The fakes keep their state in files of $FAKE: which packages are installed, the foreign
# architectures, and one line per call in calls.log.
FAKE_APT_GET = r"""#!/bin/sh
echo "apt-get $*" >> "$FAKE/calls.log"
case " $* " in
  *" update "*)
    n=$(cat "$FAKE/update-failures" 2>/dev/null || echo 0)
    if [ "$n" -gt 0 ]; then
      echo $((n - 1)) > "$FAKE/update-failures"
      echo "E: Failed to fetch http://mirror/bookworm-security/main/binary-i386/Packages.xz  File has unexpected size (374820 != 376004). Mirror sync in progress?"
      echo "E: Some index files failed to download. They have been ignored, or old ones used instead."
      exit 100
    fi
    exit 0 ;;
  *" wine32:i386 "*)
    if [ -e "$FAKE/wine32-breaks" ]; then
      echo "Some packages could not be installed."
      echo "E: Unable to correct problems, you have held broken packages."
      exit 100
    fi ;;
esac
for word in "$@"; do
  case "$word" in -*|install) ;; *) echo "$word" >> "$FAKE/installed" ;; esac
done
"""
FAKE_DPKG_QUERY = r"""#!/bin/sh
for last; do :; done
grep -qx "$last" "$FAKE/installed" 2>/dev/null && printf 'install ok installed' && exit 0
exit 1
"""
FAKE_DPKG = r"""#!/bin/sh
echo "dpkg $*" >> "$FAKE/calls.log"
case "$1" in
  --print-foreign-architectures) cat "$FAKE/architectures" 2>/dev/null ;;
  --add-architecture) echo "$2" >> "$FAKE/architectures" ;;
  --remove-architecture) grep -vx "$2" "$FAKE/architectures" > "$FAKE/a" || true
                         mv "$FAKE/a" "$FAKE/architectures" ;;
esac
"""
BASE_PACKAGES = ["cmake", "wine", "wine64", "miniupnpd-nftables", "wixl"]


class InstallStep(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, self.dir)
        # A copy of the script in a tree of its own, so that its notes land there.
        os.makedirs(os.path.join(self.dir, "scripts"))
        shutil.copy(os.path.join(ROOT, "scripts", "install-deps.sh"),
                    os.path.join(self.dir, "scripts"))
        self.fake = os.path.join(self.dir, "fake")
        bin_dir = os.path.join(self.fake, "bin")
        os.makedirs(bin_dir)
        for name, text in (("apt-get", FAKE_APT_GET), ("dpkg-query", FAKE_DPKG_QUERY),
                           ("dpkg", FAKE_DPKG)):
            path = os.path.join(bin_dir, name)
            with open(path, "w") as f:
                f.write(text)
            os.chmod(path, 0o755)
        self.policy = os.path.join(self.fake, "policy-rc.d")
        self.env = dict(os.environ, FAKE=self.fake, PATH=bin_dir + ":" + os.environ["PATH"],
                        INSTALL_DEPS_PAUSE="0", INSTALL_DEPS_POLICY=self.policy,
                        INSTALL_DEPS_I386_PROBE="/bin/true", WINE_FLAVOURS="")
        # A file the kernel refuses, as a kernel without 32-bit emulation refuses i386 code.
        self.not_runnable = os.path.join(self.fake, "i386-refused")
        with open(self.not_runnable, "wb") as f:
            f.write(b"\x7fELF\x01\x01\x01\0\0\0\0\0\0\0\0\0not a program this kernel runs")
        os.chmod(self.not_runnable, 0o755)

    def install(self, **env):
        result = subprocess.run(["bash", os.path.join(self.dir, "scripts", "install-deps.sh")],
                                env=dict(self.env, **env), capture_output=True, text=True,
                                timeout=60)
        with open(os.path.join(self.fake, "calls.log")) as f:
            calls = f.read().splitlines()
        self.assertFalse(os.path.exists(self.policy), "the guard is left behind")
        return result, calls

    def installed(self):
        with open(os.path.join(self.fake, "installed")) as f:
            return f.read().split()

    def set_state(self, name, text):
        with open(os.path.join(self.fake, name), "w") as f:
            f.write(text)

    def test_failed_updates_are_retried_then_the_lists_that_arrived_are_used(self):
        self.set_state("update-failures", "9")
        result, calls = self.install()
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        self.assertEqual([c.split()[1] for c in calls if c.startswith("apt-get")],
                         ["update"] * 3 + ["install", "install"])
        self.assertIn("Mirror sync in progress?", result.stdout)
        for package in BASE_PACKAGES + ["wine32:i386"]:
            self.assertIn(package, self.installed())
        # The base packages and wine32 go in separate steps, wine32 alone.
        self.assertTrue(calls[-1].endswith("--no-install-recommends wine32:i386"), calls)
        self.assertNotIn("wine32:i386", calls[-2])

        # Everything there: nothing is asked of apt-get.
        result, calls_again = self.install()
        self.assertEqual(result.returncode, 0)
        self.assertEqual(calls_again, calls)

    def test_a_kernel_without_32_bit_code_gets_nothing_i386(self):
        result, calls = self.install(INSTALL_DEPS_I386_PROBE=self.not_runnable)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        self.assertFalse([c for c in calls if "i386" in c], calls)
        self.assertIn("wine64", self.installed())
        with mock.patch.object(flavours, "INSTALL_NOTES",
                               os.path.join(self.dir, "build", "install-notes")):
            _, why = self.choose_without_win32_loader()
        self.assertIn("win32 cannot run here: this kernel does not run 32-bit x86 programs",
                      why)

    def test_wine32_that_cannot_be_installed_leaves_win64_and_says_why(self):
        self.set_state("wine32-breaks", "")
        result, calls = self.install()
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        self.assertIn("wine64", self.installed())
        self.assertNotIn("wine32:i386", self.installed())
        # The architecture it added for nothing is taken away again.
        self.assertEqual(calls[-1], "dpkg --remove-architecture i386")
        with mock.patch.object(flavours, "INSTALL_NOTES",
                               os.path.join(self.dir, "build", "install-notes")):
            names, why = self.choose_without_win32_loader()
        self.assertEqual(names, ["win64"])
        self.assertEqual(why, "win32 cannot run here: wine32:i386 could not be installed: "
                              "E: Unable to correct problems, you have held broken packages.")

    def choose_without_win32_loader(self):
        missing = os.path.join(self.fake, "no-such-loader")
        win32 = dataclasses.replace(flavours.FLAVOURS["win32"], loader=missing)
        win64 = dataclasses.replace(flavours.FLAVOURS["win64"], loader="/bin/true")
        with mock.patch.dict(flavours.FLAVOURS, win32=win32, win64=win64), \
                mock.patch.dict(os.environ, {"WINE_FLAVOURS": ""}):
            return flavours.choose()


if __name__ == "__main__":
    unittest.main()
