"""chordwatch under Wine: real hotkey registrations, real key presses, real global atoms.

One loopback-only namespace and one prefix; every program of a case runs under the same
wineserver, so chordwatch, the key presser (chord_press: SendInput), the atom tool
(chord_atoms: names for given seconds, GlobalFindAtomA) and the control tool (chord_ctl:
holds or tries a combination, posts WM_QUIT through PostThreadMessage) share one hotkey and
atom table.  chordwatch's stdout is read through a pipe line by line; every wait is bounded.
"""
import os
import queue
import subprocess
import threading
import time
import unittest

from testbed import netns, winebox

LINE_TIMEOUT = 30.0  # a start under a loaded machine can take seconds
QUIET = 1.0  # how long "no further line" is watched for
ERROR_HOTKEY_ALREADY_REGISTERED = 1409
CTRL, SHIFT, ALT = 2, 4, 1
VK_A, VK_B, VK_C, VK_D, VK_E = 65, 66, 67, 68, 69
ARTIFACTS = os.environ.get("TEST_ARTIFACTS", os.path.join(winebox.WORK, "artifacts"))

NS = BOX = None


def setUpModule():
    global NS, BOX
    NS = netns.Namespace("chw")
    BOX = winebox.WineBox(NS)


def tearDownModule():
    BOX.close()
    NS.delete()


class Watcher:
    """One chordwatch process; its stdout collected by a reader thread, line by line."""

    def __init__(self, box, args, name="chordwatch"):
        self.box = box
        self.raw = bytearray()
        self.lines = queue.Queue()
        os.makedirs(ARTIFACTS, exist_ok=True)
        self.stderr = open(os.path.join(ARTIFACTS, f"{name}-{os.getpid()}.stderr"), "ab")
        self.started = time.monotonic()
        self.proc = box.popen("chordwatch.exe", list(args), stdin=subprocess.DEVNULL,
                              stdout=subprocess.PIPE, stderr=self.stderr)
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        pending = b""
        fd = self.proc.stdout.fileno()
        while True:
            chunk = os.read(fd, 4096)
            now = time.monotonic()
            if not chunk:
                if pending:
                    self.lines.put((pending, now))
                self.lines.put((None, now))
                return
            self.raw += chunk
            pending += chunk
            while b"\n" in pending:
                line, pending = pending.split(b"\n", 1)
                self.lines.put((line + b"\n", now))

    def next(self, timeout=LINE_TIMEOUT):
        """(raw line with its line end, arrival time); None for end of output; raises on timeout."""
        try:
            return self.lines.get(timeout=timeout)
        except queue.Empty:
            raise AssertionError(f"no line from chordwatch within {timeout} s; so far {bytes(self.raw)!r}")

    def line(self, timeout=LINE_TIMEOUT):
        """The next line as text without CR LF (asserting it ends with CR LF), or None at end."""
        raw, _ = self.next(timeout)
        if raw is None:
            return None
        assert raw.endswith(b"\r\n"), raw
        return raw[:-2].decode("ascii")

    def quiet(self, seconds=QUIET):
        """True when no line (and no end of output) arrives within `seconds`."""
        try:
            item = self.lines.get(timeout=seconds)
        except queue.Empty:
            return True
        self.lines.put(item)  # keep it for the caller's next read
        return False

    def wait(self, timeout=LINE_TIMEOUT):
        try:
            return self.proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            raise AssertionError(f"chordwatch still running after {timeout} s")

    def running(self):
        return self.proc.poll() is None

    def stop(self):
        """Ends the process if it still runs: WM_QUIT first, then a kill."""
        if self.running():
            ctl(self.box, "quit", "chordwatch.exe")
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(timeout=10)
        self.reader.join(timeout=10)
        self.proc.stdout.close()
        self.stderr.close()


def tool(box, exe, *args, timeout=60):
    r = box.run(exe, [str(a) for a in args], timeout=timeout)
    if r.returncode != 0:
        raise AssertionError(f"{exe} {args} failed with {r.returncode}: {r.stdout!r} {r.stderr!r}")
    return r.stdout.decode("ascii").splitlines()


def ctl(box, *args):
    return tool(box, "chord_ctl.exe", *args)


def press(box, modifiers, key, count=1, gap_ms=100, downs=1):
    out = tool(box, "chord_press.exe", modifiers, key, count, gap_ms, downs)
    assert out == [f"sent {i}" for i in range(1, count + 1)], out


def try_register(box, modifiers, key):
    """0 when this combination could be registered (and freed again), else the error code."""
    out = ctl(box, "tryreg", modifiers, key)
    return 0 if out == ["ok"] else int(out[0].split()[1])


def atom_names(box, seconds):
    return {int(s): n for s, n in (line.split() for line in tool(box, "chord_atoms.exe", "names", *seconds))}


def present_seconds(box, first, last):
    """The seconds in [first, last] whose atom name is in the global atom table."""
    out = tool(box, "chord_atoms.exe", "find", *range(first, last + 1))
    return [int(line.split()[0]) for line in out if line.endswith(" present")]


def msvcrt_name(seconds):
    """The atom name computed independently: the C runtime's generator (state * 214013 +
    2531011, bits 16..30) seeded with the seconds, letters and digits kept."""
    state, name = seconds & 0xFFFFFFFF, ""
    while len(name) < 33:
        state = (state * 214013 + 2531011) & 0xFFFFFFFF
        c = chr(((state >> 16) & 0x7FFF) % 74 + 48)
        if c.isascii() and c.isalnum():
            name += c
    return name


class ChordwatchCase(unittest.TestCase):
    def watch(self, *args):
        w = Watcher(BOX, args, name=self.id().rsplit(".", 1)[-1])
        self.addCleanup(w.stop)
        return w

    def expect_registered(self, w):
        self.assertEqual(w.line(), "startHotkey")
        self.assertEqual(w.line(), "2")

    def quit_and_check(self, w):
        """WM_QUIT to its thread: ends with no further output and exit code 0."""
        posted = ctl(BOX, "quit", "chordwatch.exe")
        self.assertNotEqual(posted, ["posted 0"])
        self.assertIsNone(w.line(), "output after WM_QUIT")
        self.assertEqual(w.wait(), 0)


class RegistrationAndPresses(ChordwatchCase):
    """2 4 65 is Control+Shift+A; 6 0 65 the same; arguments without digits count as 0."""

    def test_2_4_65_registers_ctrl_shift_a_and_three_presses_print_three_lines(self):
        w = self.watch("2", "4", "65")
        self.expect_registered(w)
        self.assertEqual(try_register(BOX, CTRL | SHIFT, VK_A), ERROR_HOTKEY_ALREADY_REGISTERED)
        press(BOX, CTRL | SHIFT, VK_A, count=3)
        for _ in range(3):
            self.assertEqual(w.line(), "3")
        self.assertTrue(w.quiet(), "more than three lines for three presses")
        # Other modifiers with the same key are other combinations.
        press(BOX, CTRL, VK_A)
        press(BOX, 0, VK_A)
        self.assertTrue(w.quiet(), "a press of another combination was reported")
        self.quit_and_check(w)
        self.assertEqual(bytes(w.raw), b"startHotkey\r\n2\r\n3\r\n3\r\n3\r\n")

    def test_6_0_65_registers_the_same_combination(self):
        w = self.watch("6", "0", "65")
        self.expect_registered(w)
        self.assertEqual(try_register(BOX, CTRL | SHIFT, VK_A), ERROR_HOTKEY_ALREADY_REGISTERED)
        press(BOX, CTRL | SHIFT, VK_A)
        self.assertEqual(w.line(), "3")
        self.assertTrue(w.quiet())
        self.quit_and_check(w)

    def test_arguments_without_digits_count_as_zero(self):
        w = self.watch("ctrl", "shift", "65")
        self.expect_registered(w)
        self.assertEqual(try_register(BOX, 0, VK_A), ERROR_HOTKEY_ALREADY_REGISTERED)
        self.assertEqual(try_register(BOX, CTRL | SHIFT, VK_A), 0)
        press(BOX, 0, VK_A, count=2)
        self.assertEqual(w.line(), "3")
        self.assertEqual(w.line(), "3")
        self.assertTrue(w.quiet())
        self.quit_and_check(w)

    def test_holding_the_combination_prints_a_line_per_repeat(self):
        # Five key-down events before the key-up, as the keyboard repeat sends them.  (Wine 8
        # also repeats with the no-repeat bit 0x4000 in the mask, unlike Windows; the mask is
        # passed on unchecked either way, so that case is not asserted here.)
        w = self.watch("2", "4", "65")
        self.expect_registered(w)
        press(BOX, CTRL | SHIFT, VK_A, downs=5)
        for _ in range(5):
            self.assertEqual(w.line(), "3")
        self.assertTrue(w.quiet())
        self.quit_and_check(w)


class CombinationHeldElsewhere(ChordwatchCase):
    """Registration refused: "startHotkey", "1", exit 0, and its atom deleted again."""

    def test_held_by_another_program(self):
        holder = BOX.popen("chord_ctl.exe", ["hold", str(CTRL | ALT), str(VK_B)], stdin=subprocess.PIPE,
                           stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        try:
            self.assertEqual(holder.stdout.readline(), b"held\r\n")
            first = int(time.time()) - 1
            w = self.watch("2", "1", str(VK_B))
            self.assertEqual(w.line(), "startHotkey")
            self.assertEqual(w.line(), "1")
            self.assertIsNone(w.line())
            self.assertEqual(w.wait(), 0)
            last = int(time.time()) + 1
            self.assertEqual(bytes(w.raw), b"startHotkey\r\n1\r\n")
            self.assertEqual(present_seconds(BOX, first, last), [])
        finally:
            holder.stdin.close()
            holder.wait(timeout=20)
            holder.stdout.close()
        # The holder has let go: the combination is free.
        self.assertEqual(try_register(BOX, CTRL | ALT, VK_B), 0)

    def test_held_by_a_first_chordwatch_whose_atom_survives(self):
        first = int(time.time()) - 1
        a = self.watch("2", "4", str(VK_C))
        self.expect_registered(a)
        seconds_a = present_seconds(BOX, first, int(time.time()) + 1)
        self.assertEqual(len(seconds_a), 1, seconds_a)
        # A second copy in the same second would find the name; start it in a later one.
        while int(time.time()) <= seconds_a[0]:
            time.sleep(0.05)
        b_first = int(time.time())
        b = self.watch("6", "0", str(VK_C))
        self.assertEqual(b.line(), "startHotkey")
        self.assertEqual(b.line(), "1")
        self.assertEqual(b.wait(), 0)
        self.assertEqual(present_seconds(BOX, b_first - 1, int(time.time()) + 1), seconds_a)
        press(BOX, CTRL | SHIFT, VK_C)
        self.assertEqual(a.line(), "3")
        self.quit_and_check(a)


class TwoCopiesInOneSecond(ChordwatchCase):
    """Both draw the same name; the second finds it while the first runs and prints "0"."""

    def test_second_copy_prints_0_and_leaves_the_first_alone(self):
        for _ in range(8):
            # Start just after a second boundary so that both starts fall into that second.
            time.sleep(1.02 - time.time() % 1.0)
            a = self.watch("2", "4", str(VK_D))
            self.expect_registered(a)
            before = time.time()
            b = self.watch("2", "4", str(VK_D))
            self.assertEqual(b.line(), "startHotkey")
            outcome = b.line()
            after = time.time()
            self.assertEqual(b.wait(), 0)
            seconds_a = present_seconds(BOX, int(before) - 5, int(after) + 1)
            self.assertEqual(len(seconds_a), 1, seconds_a)
            if outcome == "0":
                break
            # Refused: the second's start fell into a later second, so it drew another name.
            self.assertEqual(outcome, "1")
            self.assertFalse(int(before) == int(after) == seconds_a[0],
                             "started and answered within the first's second, yet not 0")
            self.quit_and_check(a)
        else:
            self.skipTest("no two starts within one second in 8 attempts")
        self.assertEqual(bytes(b.raw), b"startHotkey\r\n0\r\n")
        # The first still holds its name (checked above) and its hotkey.
        press(BOX, CTRL | SHIFT, VK_D)
        self.assertEqual(a.line(), "3")
        self.quit_and_check(a)
        self.assertEqual(present_seconds(BOX, seconds_a[0], seconds_a[0]), [])


class QuitMessage(ChordwatchCase):
    """WM_QUIT ends the run silently with exit 0, frees the combination and the atom."""

    def test_wm_quit_frees_combination_and_atom(self):
        first = int(time.time()) - 1
        w = self.watch("2", "4", str(VK_E))
        self.expect_registered(w)
        running = present_seconds(BOX, first, int(time.time()) + 1)
        self.assertEqual(len(running), 1, running)
        self.assertEqual(try_register(BOX, CTRL | SHIFT, VK_E), ERROR_HOTKEY_ALREADY_REGISTERED)
        self.quit_and_check(w)
        self.assertEqual(bytes(w.raw), b"startHotkey\r\n2\r\n")
        self.assertEqual(try_register(BOX, CTRL | SHIFT, VK_E), 0)
        self.assertEqual(present_seconds(BOX, first, int(time.time()) + 1), [])


class FewerThanThreeArguments(ChordwatchCase):
    """"startHotkey", "1", exit 0; nothing is registered and no atom is added."""

    def test_zero_one_and_two_arguments(self):
        for args in ([], ["2"], ["2", "4"]):
            with self.subTest(args=args):
                first = int(time.time()) - 1
                r = BOX.run("chordwatch.exe", args, timeout=60, stdin=subprocess.DEVNULL)
                self.assertEqual(r.returncode, 0)
                self.assertEqual(r.stdout, b"startHotkey\r\n1\r\n")
                self.assertEqual(present_seconds(BOX, first, int(time.time()) + 1), [])


class OutputBytes(ChordwatchCase):
    """Each line leaves at once, ending in CR LF, before the program waits for the next event."""

    def test_every_line_is_on_the_pipe_before_the_next_event(self):
        w = self.watch("2", "4", "65")
        self.expect_registered(w)
        self.assertEqual(bytes(w.raw), b"startHotkey\r\n2\r\n")
        for n in range(1, 3):
            press(BOX, CTRL | SHIFT, VK_A)
            self.assertEqual(w.line(), "3")
            self.assertEqual(bytes(w.raw), b"startHotkey\r\n2\r\n" + b"3\r\n" * n)
        self.quit_and_check(w)

    def test_atom_names_are_the_runtime_generator_on_the_seconds(self):
        now = int(time.time())
        seconds = list(range(now - 100, now + 100)) + [0, 1, 2**31 - 1, 2**32 - 1]
        names = atom_names(BOX, seconds)
        for s in seconds:
            self.assertEqual(len(names[s]), 33)
            self.assertEqual(names[s], msvcrt_name(s), s)
        self.assertFalse(any("z" in n for n in names.values()))
        # Neighbouring seconds give different names (the tests rely on it).
        self.assertEqual(len({names[s] for s in range(now - 100, now + 100)}), 200)


if __name__ == "__main__":
    unittest.main()
