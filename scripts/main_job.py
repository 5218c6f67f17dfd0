#!/usr/bin/env python3
"""Main job: portlink loaded through the runtime stand-in inside a sandboxed LAN namespace.

Everything runs in network namespaces made here (lan -- gw -- isp); nothing leaves them.
"""
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

from testbed import netns, winebox  # noqa: E402


def main():
    started = time.monotonic()

    def step(text):
        print(f"[{time.monotonic() - started:7.2f} s] {text}", flush=True)

    step("creating the sandboxed LAN (lan 192.168.77.20 -- gw 192.168.77.1/100.200.0.2 -- isp)")
    lan = netns.Lan()
    box = None
    try:
        box = winebox.WineBox(lan.lan)
        step("Wine prefix ready; loading portlink through the runtime stand-in")
        dll = box.windows_path(os.path.join(winebox.BIN, "portlink.dll"))
        result = box.run("vnxhost.exe", ["-v", dll, "getLocalIP()", "isLANIP()", "isSearchEnd()",
                                         "isSearchSucces()"], timeout=120)
        for line in result.stdout.decode(errors="replace").splitlines():
            step(line)
        if result.returncode != 0:
            step("vnxhost failed: " + result.stderr.decode(errors="replace").strip())
            return 1
        return 0
    finally:
        if box:
            box.close()
        lan.delete()


if __name__ == "__main__":
    sys.exit(main())
