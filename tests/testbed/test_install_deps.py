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

    def install(self, wrapper=(), **env):
        result = subprocess.run([*wrapper, "bash",
                                 os.path.join(self.dir, "scripts", "install-deps.sh")],
                                env=dict(self.env, **env), capture_output=True, text=True,
                                timeout=60)
        with open(os.path.join(self.fake, "calls.log")) as f:
            calls = f.read().splitlines()
        self.assertFalse(os.path.exists(self.policy), "the guard is left behind")
        return result, calls

    def installed(self):
        with open(os.path.join(self.fake, "installed")) as f:
            return f.read().split()

    def forget_installs(self):
        for name in ("calls.log", "installed", "architectures"):
            if os.path.exists(os.path.join(self.fake, name)):
                os.remove(os.path.join(self.fake, name))
        shutil.rmtree(os.path.join(self.dir, "build", "install-notes"), ignore_errors=True)

    def win32_note(self):
        with open(os.path.join(self.dir, "build", "install-notes", "win32")) as f:
            return f.read().strip()

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
        # The base packages and wine32 go in separate steps, wine32 alone, and apt may not
        # remove anything to make room for it.
        self.assertTrue(calls[-1].endswith("--no-install-recommends --no-remove wine32:i386"),
                        calls)
        self.assertNotIn("wine32:i386", calls[-2])
        self.assertNotIn("--no-remove", calls[-2])

        # Everything there: nothing is asked of apt-get.
        result, calls_again = self.install()
        self.assertEqual(result.returncode, 0)
        self.assertEqual(calls_again, calls)

    def test_a_probe_that_does_not_run_gets_nothing_i386_and_says_why(self):
        no_x_bit = os.path.join(self.fake, "i386-probe-on-noexec")
        shutil.copy(self.not_runnable, no_x_bit)
        os.chmod(no_x_bit, 0o644)   # refused as on a noexec mount: exit 126, Permission denied
        rows = [
            (self.not_runnable,
             "this kernel does not run 32-bit x86 programs (a minimal i386 program failed: "
             "Exec format error), so wine32:i386 was not installed"),
            (no_x_bit,
             "whether this kernel runs 32-bit x86 programs is not known: the minimal i386 "
             f"program that finds out could not be executed ({no_x_bit}: Permission denied), "
             "so wine32:i386 was not installed"),
        ]
        for probe, note in rows:
            with self.subTest(probe=os.path.basename(probe)):
                self.forget_installs()
                result, calls = self.install(INSTALL_DEPS_I386_PROBE=probe)
                self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
                self.assertFalse([c for c in calls if "i386" in c], calls)
                self.assertIn("wine64", self.installed())
                self.assertEqual(self.win32_note(), note)
                with mock.patch.object(flavours, "INSTALL_NOTES",
                                       os.path.join(self.dir, "build", "install-notes")):
                    _, why = self.choose_without_win32_loader()
                self.assertIn("win32 cannot run here: " + note, why)

    def test_the_built_in_probe_runs_below_build_not_in_a_noexec_temporary_folder(self):
        # TMPDIR on a noexec mount (in a mount namespace of its own) changes nothing; a probe
        # run from there would be refused, and on a kernel that runs 32-bit code wine32 lost.
        tmp = os.path.join(self.dir, "noexec-tmp")
        os.makedirs(tmp)
        noexec = ["unshare", "--mount", "--propagation", "private", "sh", "-c",
                  f"mount -t tmpfs -o noexec tmpfs '{tmp}' && exec \"$@\"", "sh"]
        if subprocess.run(noexec + ["true"], capture_output=True).returncode != 0:
            self.skipTest("needs root for a mount namespace")
        _, calls = self.install(INSTALL_DEPS_I386_PROBE="")
        self.forget_installs()
        result, calls_noexec = self.install(noexec, INSTALL_DEPS_I386_PROBE="", TMPDIR=tmp)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        self.assertEqual(calls_noexec, calls)

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
