"""Runs every figure of the package in one run; see the package's text."""
import argparse
import sys

from testbed import gateway, winebox

from . import __doc__ as overview
from .actions import stock_figures
from .adapters import adapter_figures
from .against_previous import previous_figures
from .common import portlink_dll
from .double_nat import double_nat_figures
from .keeper_wait import keeper_wait_figures
from .outage_delete import outage_figure
from .pinholes import dual_stack_figures, pinhole_figures
from .port_control import port_control_figures
from .restarts import restart_figures
from .scripted_boxes import scripted_box_figures
from .soak import soak


def main():
    parser = argparse.ArgumentParser(prog="python3 -m bench.portlink",
                                     description=overview.splitlines()[0])
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--soak", type=int, default=1000, help="add/remove cycles")
    parser.add_argument("--no-soak", action="store_true")
    parser.add_argument("--no-timing", action="store_true",
                        help="skip this build's own timing figures (not those of --previous)")
    parser.add_argument("--no-slow", action="store_true",
                        help="skip the restart figure without notices on UPnP (about 2 min)")
    parser.add_argument("--previous", metavar="BIN_DIR",
                        help="also measure this build against the build in BIN_DIR (its "
                             "vnxhost.exe, portlink.dll and runtime stand-in), in turn")
    args = parser.parse_args()

    lan = gateway.GatewayLan()
    box = None
    try:
        box = winebox.WineBox(lan.net.lan)
        lan.gateway.listen("tcp", 8080)
        dll = portlink_dll(box)
        ok = True
        if not args.no_timing:
            figures, peer = stock_figures(lan, box, dll, args.runs)
            adapter_figures(args.runs, figures)
            port_control_figures(args.runs, peer)
            dual_stack_figures(args.runs, figures)
            pinhole_figures(args.runs)
            scripted_box_figures(args.runs)
            restart_figures(args.runs, slow=not args.no_slow)
            keeper_wait_figures()
            outage_figure()
            double_nat_figures(args.runs)
        if args.previous:
            previous_figures(lan, box, args.previous, args.runs, slow=not args.no_slow)
        if not args.no_soak:
            ok = soak(box, dll, args.soak) and ok
        return 0 if ok else 1
    finally:
        if box:
            box.close()
        lan.close()


if __name__ == "__main__":
    sys.exit(main())
