#!/usr/bin/env python3
"""Connects fins-gateway to a PLC, maps PLC memory to robot registers and
reads values back: what a user's script does. Standard library only.

    python3 examples/map_and_read.py                  # against scripts/demo
    python3 examples/map_and_read.py --plc 192.168.250.1
    python3 examples/map_and_read.py --gateway http://controller:9601/RPC2

It leaves an existing connection alone (so it can run beside the demo),
adds three mappings of its own, waits until the gateway has exchanged them,
prints what it reads, and removes its mappings again (unless --keep).
"""

import argparse
import sys
import time
import xmlrpc.client

STATES = {1: "disconnected", 2: "connecting", 4: "connected",
          12: "connected, PLC family unknown", 16: "connect failed"}
MAPPING_STATES = {0: "good", 65535: "not exchanged yet",
                  61644: "robot register refused",
                  65040: "robot IO service not running",
                  64017: "no such mapping"}

# Data type numbers and directions of "addMapping".
INT16, BIT = 1, 17
PLC_TO_ROBOT, ROBOT_TO_PLC = 0, 1

# (robot register, PLC address, data type, direction)
MAPPINGS = [
    ("in10", "DM110", INT16, PLC_TO_ROBOT),   # PLC word -> robot int input 10
    ("bin10", "W12.0", BIT, PLC_TO_ROBOT),    # PLC bit -> robot bool input 10
    ("out10", "DM120", INT16, ROBOT_TO_PLC),  # robot int output 10 -> PLC
]


def wait_until(what, probe, accept, timeout=10.0):
    deadline = time.monotonic() + timeout
    while True:
        value = probe()
        if accept(value):
            return value
        if time.monotonic() > deadline:
            sys.exit("gave up waiting for %s (last answer %r)" % (what, value))
        time.sleep(0.05)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--gateway", default="http://127.0.0.1:9601/RPC2",
                        help="the gateway's XML-RPC endpoint")
    parser.add_argument("--plc", default="127.0.0.1",
                        help="PLC IPv4 address, used when not connected")
    parser.add_argument("--plc-port", type=int, default=9600,
                        help="PLC FINS/TCP port (default 9600)")
    parser.add_argument("--keep", action="store_true",
                        help="leave the mappings in place")
    args = parser.parse_args()

    gateway = xmlrpc.client.ServerProxy(args.gateway)
    state = gateway.getState()
    if state not in (4, 12):
        print("connecting to the PLC at %s:%d" % (args.plc, args.plc_port))
        # address, port, local net/node/unit, remote net/node/unit, unused;
        # node 0 lets the PLC assign ours and tells us its own.
        gateway.connect(args.plc, args.plc_port, 0, 0, 0, 0, 0, 0, 0)
        state = wait_until("the connection", gateway.getState,
                           lambda s: s in (4, 12, 16))
        if state == 16:
            sys.exit("the gateway could not connect to the PLC "
                     "(it keeps retrying; see its log)")
    cpu = gateway.CPUUnitDataRead()
    print("gateway %s; PLC %s, version %s, family %s"
          % (STATES[state], cpu["model"], cpu["version"],
             gateway.PLCModeGet()))

    # Seed the PLC words this script maps, as a PLC program would.
    print("memoryAreaWriteInt16 DM110 = 1234 ->",
          gateway.memoryAreaWriteInt16("DM110", 1234))
    print("memoryAreaWriteBit W12.0 = True ->",
          gateway.memoryAreaWriteBit("W12.0", True))

    for register, address, data_type, direction in MAPPINGS:
        gateway.addMapping(address, register, "", data_type, direction)
    for register, *_ in MAPPINGS:
        state = wait_until(
            "mapping %s" % register,
            lambda: gateway.getMappingState(register),
            lambda s: s not in (65535, 64017))
        print("mapping %-6s state %d (%s)"
              % (register, state, MAPPING_STATES.get(state, "FINS error")))

    # A read of a mapped PLC-to-robot address is answered from the value
    # the gateway exchanged last; any other address is read from the PLC.
    for name, address in [("memoryAreaReadInt16", "DM110"),
                          ("memoryAreaReadBit", "W12.0"),
                          ("memoryAreaReadInt16", "DM120")]:
        answer = getattr(gateway, name)(address)
        print("%s(%r) -> state %d, value %r"
              % (name, address, answer["state"], answer["value"]))

    print("mapping table:")
    for register, address in sorted(gateway.getMappingTable().items()):
        direction = gateway.getMappingDirection(register)
        print("  %-6s %s %s" % (register, "<-" if direction == 0 else "->",
                                address))

    if not args.keep:
        for register, *_ in MAPPINGS:
            gateway.removeMapping(register)
        for register, *_ in MAPPINGS:
            wait_until("removal of %s" % register,
                       lambda: gateway.getMappingState(register),
                       lambda s: s == 64017)
        print("removed this script's mappings")


if __name__ == "__main__":
    main()
