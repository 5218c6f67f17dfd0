"""Processes of the test bed: a helper module run inside a namespace that says "ready" once
it serves and then reports one JSON object a line, and the stop every long-running process
of the test bed gets."""
import json
import os
import subprocess
import sys
import threading

_ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def stop_process(process, timeout=10):
    """SIGTERM, then SIGKILL when it has not ended within `timeout` seconds."""
    if process.poll() is None:
        process.terminate()
        try:
            process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()


class JsonLinesProcess:
    """`python3 -m module args...` in namespace `ns`; lines() gives what it reported so far."""

    def __init__(self, ns, module, args, what):
        self.process = ns.popen([sys.executable, "-u", "-m", module, *args],
                                env=dict(os.environ, PYTHONPATH=_ROOT),
                                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, text=True)
        if self.process.stdout.readline().strip() != "ready":
            self.process.kill()
            self.process.wait()
            raise RuntimeError(f"{what} did not start")
        self._lines = []
        self._lock = threading.Lock()
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()

    def _read(self):
        for line in self.process.stdout:
            with self._lock:
                self._lines.append(json.loads(line))

    def lines(self):
        with self._lock:
            return list(self._lines)

    def close(self):
        stop_process(self.process)
        self._reader.join(5)
        self.process.stdout.close()
