"""Runs portlink through the stand-in host inside a WineBox and returns its answer lines."""
import os

from testbed import winebox


def portlink_dll(box):
    return box.windows_path(os.path.join(winebox.BIN, "portlink.dll"))


def host(box, *commands, timeout=120, env=None):
    """Answer lines of one vnxhost run; raises when the host fails."""
    result = box.run("vnxhost.exe", [portlink_dll(box), *commands], timeout=timeout, env=env)
    if result.returncode != 0:
        raise AssertionError(f"vnxhost exit {result.returncode}: "
                             f"{result.stderr.decode(errors='replace')[-2000:]}")
    return result.stdout.decode(errors="replace").splitlines()
