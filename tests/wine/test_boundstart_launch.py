"""Boundstart's runtime search and start under Wine.

One loopback-only namespace and one prefix into which the stand-in runtime is installed by a
real Windows Installer package (built with wixl, installed with msiexec), so every case runs
with an installed runtime present: a case that ends without the stand-in's entry line proves
that the installed runtime was not tried.  No X display: the warning box fails at once, and
the exit code tells the outcome (the box itself is tested in test_boundstart_warning.py).
"""
import os
import re
import shutil
import sys
import tempfile
import time
import unittest
import uuid

from testbed import netns, winebox, workspace

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "runtime_standin", "installer"))
import build_msi  # noqa: E402

BIN = winebox.BIN
LAUNCHER = os.path.join(BIN, "Boundstart.exe")
STANDIN = os.path.join(BIN, "Verimon Tessel.dll")
NOENTRY = os.path.join(BIN, "noentry", "Verimon Tessel.dll")
PLANTED_MSI = os.path.join(BIN, "planted", "msi.dll")
PLANTED_MARK = "planted-msi-loaded"
# The launcher built with a loader that refuses LOAD_LIBRARY_SEARCH_SYSTEM32, as Windows Vista
# and 7 without the 2011 loader update do; it reports each of its load calls.
OLD_LOADER_LAUNCHER = os.path.join(BIN, "old-loader", "Boundstart.exe")
OLD_LOADER_LINE = re.compile(r"^old-loader (refused|load) flags=(0x[0-9a-f]+) name=(.*?)\r?$",
                             re.M)
PRIVATE_PARTS = ("Verimon Tessel", "Versions", "1.0", "Verimon Tessel.dll")
INSTALLED_LIBRARY = r"C:\Program Files\Verimon Tessel\Versions\1.0\Verimon Tessel.dll"
ENTRY_LINE = re.compile(r"standin-entry module=(.*) launcher_ok=(\d) runtime_ok=(\d)\r?$", re.M)
EXIT_LINE = re.compile(r"^exit=(\d+) elapsed_us=\d+\r?$", re.M)
COMPONENTS_KEY = (r"HKLM\Software\Microsoft\Windows\CurrentVersion\Installer\UserData"
                  r"\S-1-5-18\Components")


def squashed(guid):
    """A GUID in the packed form Windows Installer uses for registry key names."""
    h = uuid.UUID(guid).hex.upper()
    parts = [h[0:8][::-1], h[8:12][::-1], h[12:16][::-1]]
    parts += [h[i:i + 2][::-1] for i in range(16, 32, 2)]
    return "".join(parts)


def place(source, *parts):
    path = os.path.join(*parts)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    shutil.copyfile(source, path)
    return path


def setUpModule():
    global NS, BOX, WORK, SHORT, INSTALLED_UNIX
    NS = netns.Namespace("bsl")
    BOX = winebox.WineBox(NS)
    WORK = workspace.work_dir("boundstart-launch")
    # Short root for the path-limit layouts, whatever the length of the work folder.
    SHORT = workspace.work_dir("bsl", parent=tempfile.gettempdir())
    msi = build_msi.build_msi(STANDIN, os.path.join(WORK, "msi"), BOX.flavour.msi_arch)
    BOX.wine(["msiexec", "/i", msi, "/qn"], check=True, capture_output=True)
    INSTALLED_UNIX = os.path.join(BOX.prefix, "drive_c", "Program Files", "Verimon Tessel",
                                  "Versions", "1.0", "Verimon Tessel.dll")
    deadline = time.monotonic() + 60
    while not os.path.exists(INSTALLED_UNIX):
        if time.monotonic() > deadline:
            raise RuntimeError("msiexec did not install the stand-in runtime")
        time.sleep(0.2)


def tearDownModule():
    BOX.close()
    NS.delete()
    shutil.rmtree(WORK, ignore_errors=True)
    shutil.rmtree(SHORT, ignore_errors=True)


class LaunchTestBase(unittest.TestCase):
    def folder(self, *parts):
        """A fresh folder for one layout, below the group's work folder."""
        base = tempfile.mkdtemp(dir=WORK)
        path = os.path.join(base, *parts)
        os.makedirs(path, exist_ok=True)
        return path

    def launcher_in(self, folder, name="Boundstart.exe", source=LAUNCHER):
        return place(source, folder, name)

    def start(self, exe, args=(), env=None, cwd=None, from_its_folder=False):
        """Runs exe under box_spawn; returns (32-bit exit code, entry line match or None).

        from_its_folder: start it by bare name from its own folder (CreateProcessW does not
        take a program path of 260 characters or more, the launcher's own limit does).
        """
        program = BOX.windows_path(exe)
        if from_its_folder:
            program, cwd = os.path.basename(exe), os.path.dirname(exe)
        result = BOX.run("box_spawn.exe", ["1", program, *args], timeout=60, env=env,
                         cwd=cwd or WORK)
        out = result.stdout.decode("utf-8", "replace")
        self.last_output = out
        codes = EXIT_LINE.findall(out)
        self.assertEqual(len(codes), 1, out + result.stderr.decode("utf-8", "replace")[-800:])
        entries = ENTRY_LINE.findall(out)
        self.assertLessEqual(len(entries), 1, out)
        return int(codes[0]), (entries[0] if entries else None)


class PrivateCopyTest(LaunchTestBase):
    def test_private_copy_started_with_both_handles_and_result_passed_on(self):
        folder = self.folder("app")
        exe = self.launcher_in(folder)
        private = place(STANDIN, folder, *PRIVATE_PARTS)
        for value, code in (("0", 0), ("42", 42), ("-1", 0xFFFFFFFF)):
            with self.subTest(value=value):
                got, entry = self.start(exe, env={"VNX_STANDIN_EXIT": value})
                self.assertEqual(got, code)
                # Installed runtime present, yet the private copy is the one loaded.
                self.assertEqual(entry, (BOX.windows_path(private), "1", "1"))

    def test_installed_runtime_when_there_is_no_private_copy(self):
        exe = self.launcher_in(self.folder("bare"))
        got, entry = self.start(exe, env={"VNX_STANDIN_EXIT": "7"})
        self.assertEqual((got, entry), (7, (INSTALLED_LIBRARY, "1", "1")))

    def test_unloadable_private_copy_gives_4_without_trying_installed(self):
        damaged = os.path.join(WORK, "damaged.dll")
        with open(STANDIN, "rb") as f:
            head = f.read(4096)
        with open(damaged, "wb") as f:
            f.write(head)  # a PE header whose sections are missing
        text = os.path.join(WORK, "text.dll")
        with open(text, "w") as f:
            f.write("not a library\n")
        for label, source in (("damaged", damaged), ("text", text), ("empty", os.devnull)):
            with self.subTest(label):
                folder = self.folder(label)
                exe = self.launcher_in(folder)
                place(source, folder, *PRIVATE_PARTS)
                self.assertEqual(self.start(exe), (4, None))
        with self.subTest("directory"):
            folder = self.folder("dir")
            exe = self.launcher_in(folder)
            os.makedirs(os.path.join(folder, *PRIVATE_PARTS))
            self.assertEqual(self.start(exe), (4, None))

    def test_private_copy_without_entry_gives_4(self):
        folder = self.folder("noentry")
        exe = self.launcher_in(folder)
        place(NOENTRY, folder, *PRIVATE_PARTS)
        self.assertEqual(self.start(exe), (4, None))

    def test_runtime_option_changes_nothing(self):
        other = self.folder("elsewhere")
        place(STANDIN, other, "Verimon Tessel.dll")
        place(STANDIN, other, *PRIVATE_PARTS)
        place(STANDIN, other, "Versions", "1.0", "Verimon Tessel.dll")
        other_win = BOX.windows_path(other)
        folder = self.folder("opt")
        exe = self.launcher_in(folder)
        private = BOX.windows_path(os.path.join(folder, *PRIVATE_PARTS))
        bare = self.launcher_in(self.folder("optbare"))
        for args in (["-runtime", other_win], ["a", "b", "-runtime", other_win],
                     ["-runtime", other_win, "-runtime", other_win]):
            with self.subTest(args=args, private=False):
                self.assertEqual(self.start(bare, args), (0, (INSTALLED_LIBRARY, "1", "1")))
        place(STANDIN, folder, *PRIVATE_PARTS)
        for args in (["-runtime", other_win], ["a", "b", "-runtime", other_win]):
            with self.subTest(args=args, private=True):
                self.assertEqual(self.start(exe, args), (0, (private, "1", "1")))


class LibrarySearchTest(LaunchTestBase):
    def test_library_beside_launcher_in_working_dir_or_on_path_never_loads(self):
        folder = self.folder("planted")
        exe = self.launcher_in(folder)
        place(STANDIN, folder, "Verimon Tessel.dll")
        cwd = self.folder("cwd")
        place(STANDIN, cwd, "Verimon Tessel.dll")
        place(STANDIN, cwd, *PRIVATE_PARTS)
        on_path = self.folder("onpath")
        place(STANDIN, on_path, "Verimon Tessel.dll")
        got = self.start(exe, env={"WINEPATH": BOX.windows_path(on_path)}, cwd=cwd)
        self.assertEqual(got, (0, (INSTALLED_LIBRARY, "1", "1")))


class PlantedInstallerLibraryTest(LaunchTestBase):
    """A msi.dll beside the launcher, with Wine told to search for msi.dll as Windows does
    (the program's folder first), is never loaded; and msi.dll is needed only when Windows
    Installer must be asked."""

    @staticmethod
    def overrides(msi):
        return {"WINEDLLOVERRIDES": winebox.BASE_ENV["WINEDLLOVERRIDES"] + ";msi=" + msi}

    def test_planted_msi_dll_is_never_loaded(self):
        # Control: a program that asks for "msi.dll" by bare name gets the planted one here.
        folder = self.folder("control")
        place(PLANTED_MSI, folder, "msi.dll")
        probe = place(os.path.join(BIN, "box_direct_entry.exe"), folder, "probe.exe")
        self.assertEqual(self.start(probe, ["msi.dll"], env=self.overrides("n,b")), (4, None))
        self.assertIn(PLANTED_MARK, self.last_output)
        # The loader's calls: none seen for the shipped launcher; for the old-loader build,
        # the refused search-flag load, then msi.dll by its full path in the system folder.
        system_msi = [("refused", "0x800", r"^msi\.dll$"),
                      ("load", "0x8", r"(?i)^[a-z]:\\windows\\(system32|syswow64)\\msi\.dll$")]
        for private, source, calls in ((False, LAUNCHER, []), (True, LAUNCHER, []),
                                       (False, OLD_LOADER_LAUNCHER, system_msi)):
            with self.subTest(private_copy=private, launcher=os.path.relpath(source, BIN)):
                folder = self.folder("planted")
                exe = self.launcher_in(folder, source=source)
                place(PLANTED_MSI, folder, "msi.dll")
                # Without a private copy the installed runtime is found, so the system's
                # msi.dll was asked: the planted one knows no component.
                expected = INSTALLED_LIBRARY
                if private:
                    expected = BOX.windows_path(place(STANDIN, folder, *PRIVATE_PARTS))
                got = self.start(exe, env=self.overrides("n,b"))
                self.assertNotIn(PLANTED_MARK, self.last_output)
                self.assertEqual(got, (0, (expected, "1", "1")))
                seen = OLD_LOADER_LINE.findall(self.last_output)
                self.assertEqual([call[:2] for call in seen], [call[:2] for call in calls],
                                 self.last_output)
                for (_, _, name), (_, _, pattern) in zip(seen, calls):
                    self.assertRegex(name, pattern)

    def test_without_msi_dll_private_copy_starts_and_installed_runtime_counts_as_missing(self):
        folder = self.folder("nomsi")
        exe = self.launcher_in(folder)
        with self.subTest(private_copy=False):
            self.assertEqual(self.start(exe, env=self.overrides("")), (3, None))
        private = place(STANDIN, folder, *PRIVATE_PARTS)
        with self.subTest(private_copy=True):
            self.assertEqual(self.start(exe, env=self.overrides("")),
                             (0, (BOX.windows_path(private), "1", "1")))


class PathLimitTest(LaunchTestBase):
    """Launcher paths around the 260/261-character limits; Windows paths are "Z:" + path."""

    SUFFIX = len("\\" + "\\".join(PRIVATE_PARTS))

    def folder_of_length(self, length):
        """A new folder whose Windows path has exactly `length` characters."""
        path = tempfile.mkdtemp(prefix="bs", dir=SHORT)
        while True:
            remaining = length - len(BOX.windows_path(path))
            if remaining == 0:
                break
            self.assertGreaterEqual(remaining, 2)
            take = min(remaining - 1, 100)
            if remaining - take - 1 == 1:  # a last step of one character cannot be made
                take -= 1
            path = os.path.join(path, "p" * take)
        os.makedirs(path, exist_ok=True)
        return path

    def test_private_copy_path_of_260_fits_and_261_does_not(self):
        for length, expect_entry in ((260, True), (261, False)):
            with self.subTest(private_path=length):
                folder = self.folder_of_length(length - self.SUFFIX)
                exe = self.launcher_in(folder, "L.exe")
                code, entry = self.start(exe)
                if expect_entry:
                    # The private copy is tested only once composed; none here, so installed.
                    self.assertEqual((code, entry), (0, (INSTALLED_LIBRARY, "1", "1")))
                else:
                    # Too long: 4, and Windows Installer is not consulted.
                    self.assertEqual((code, entry), (4, None))

    def test_launcher_path_of_260_works_and_261_is_cut(self):
        for length, expected in ((260, 0), (261, 4)):
            with self.subTest(launcher_path=length):
                folder = self.folder_of_length(100)
                name = "L" * (length - 101 - 4) + ".exe"
                exe = self.launcher_in(folder, name)
                self.assertEqual(len(BOX.windows_path(exe)), length)
                private = place(STANDIN, folder, *PRIVATE_PARTS)
                code, entry = self.start(exe, from_its_folder=True)
                self.assertEqual(code, expected)
                if expected == 0:
                    self.assertEqual(entry, (BOX.windows_path(private), "1", "1"))
                else:
                    self.assertIsNone(entry)


class InstalledComponentTest(LaunchTestBase):
    """Cases that change the installation for a moment and put it back."""

    def reg_value(self, data):
        key = COMPONENTS_KEY + "\\" + squashed(build_msi.component_code())
        product = squashed(build_msi.product_code())
        BOX.wine(["reg", "add", key, "/v", product, "/d", data, "/f"], check=True,
                 capture_output=True, timeout=60)

    def test_installed_component_without_library_gives_4(self):
        exe = self.launcher_in(self.folder("missing"))
        hidden = INSTALLED_UNIX + ".hidden"
        os.rename(INSTALLED_UNIX, hidden)
        try:
            self.assertEqual(self.start(exe), (4, None))
        finally:
            os.rename(hidden, INSTALLED_UNIX)
        self.assertEqual(self.start(exe), (0, (INSTALLED_LIBRARY, "1", "1")))

    def test_empty_or_relative_key_path_counts_as_no_installation(self):
        exe = self.launcher_in(self.folder("relative"))
        # Where a relative folder would lead the library search: the working directory.
        cwd = self.folder("relcwd")
        for rel in ("sub", ""):
            place(STANDIN, cwd, rel, "Versions", "1.0", "Verimon Tessel.dll")
            with open(os.path.join(cwd, rel, "runtime.key"), "w") as f:
                f.write("key\n")
        try:
            for data in ("sub\\runtime.key", "runtime.key", ""):
                with self.subTest(key_path=data):
                    self.reg_value(data)
                    self.assertEqual(self.start(exe, cwd=cwd), (3, None))
        finally:
            self.reg_value(r"C:\Program Files\Verimon Tessel\runtime.key")
        self.assertEqual(self.start(exe, cwd=cwd), (0, (INSTALLED_LIBRARY, "1", "1")))


if __name__ == "__main__":
    unittest.main()
