"""Timing and soak figures of portlink against a real gateway (miniupnpd as it ships), all
inside network namespaces made here.

    sudo python3 -m bench.portlink [--runs N] [--soak CYCLES] [--no-soak] [--no-slow]
                                   [--no-timing] [--previous BIN_DIR]

run from the repository's root.  One module per group of figures, all printed in one run by
__main__: actions (discovery, add and remove on the stock gateway, against their floors and
upnpc), adapters (discovery on a host whose second adapter wins the multicast route),
port_control (UPnP off: PCP), pinholes (the add dual-stack, and the time to the IPv6 pinhole
forwarding), scripted_boxes (discovery on scripted boxes), restarts (router restarts),
keeper_wait (the longest wait of a call while the keeper's exchanges go unanswered),
outage_delete (a delete asked for during an outage, after it), double_nat (the add behind two
routers against one, and the time to forwarding through both), soak, and with --previous
against_previous (this build's figures against those of an older build, measured in turn;
--no-timing then leaves just these).  Programs that run inside the namespaces, and the rule
files loaded there, are in helpers/; test_figures checks the figures' arithmetic without
namespaces (python3 -m unittest bench.portlink.test_figures).
"""
