#!/usr/bin/env python3
"""Reads DM words from an OMRON PLC over FINS/UDP, and optionally writes one first: what any
third-party FINS client does, with nothing but the standard library's socket module. It works
against fins-plc-sim as against a real CS/CJ/CP PLC.

    build/tools/plc-sim/fins-plc-sim &                      # FINS/TCP and FINS/UDP on 9600
    python3 examples/fins_udp_read.py                       # DM100..DM109
    python3 examples/fins_udp_read.py --write 100=1234 --start 100 --count 2
    python3 examples/fins_udp_read.py --host 192.168.250.1 --plc-node 1 --node 5

FINS/UDP carries one bare FINS frame per datagram (no FINS/TCP header, no handshake); the PLC
answers to the address and port the request came from. --plc-node is the PLC's FINS node
(fins-plc-sim: its --server-node, 10 by default; a real PLC: usually the last number of its IP
address) and --node this client's.

Exit status: 0 on success, 1 when the PLC refused (its end code is printed) or did not answer.
"""

import argparse
import socket
import struct
import sys

MEMORY_AREA_READ = (0x01, 0x01)
MEMORY_AREA_WRITE = (0x01, 0x02)
DM_WORDS = 0x82  # area code of DM words on the CS/CJ/CP family
HEADER_SIZE = 12  # ICF RSV GCT DNA DA1 DA2 SNA SA1 SA2 SID MRC SRC


class PlcError(Exception):
    pass


class FinsUdpClient:
    """One FINS/UDP exchange at a time with one PLC."""

    def __init__(self, host, port, plc_node, node, timeout):
        self.address = (host, port)
        self.plc_node = plc_node
        self.node = node
        self.sid = 0
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.settimeout(timeout)

    def close(self):
        self.sock.close()

    def command(self, mrc, src, body):
        """Sends one command and returns the response data after the end code."""
        self.sid = (self.sid + 1) % 256
        header = bytes([0x80, 0x00, 0x02,          # ICF (command, response wanted), RSV, GCT
                        0x00, self.plc_node, 0x00,  # destination network, node, unit
                        0x00, self.node, 0x00,      # source network, node, unit
                        self.sid, mrc, src])
        self.sock.sendto(header + body, self.address)
        while True:
            try:
                reply, _ = self.sock.recvfrom(4096)
            except socket.timeout:
                raise PlcError("no answer from %s:%d" % self.address) from None
            # A late reply to an earlier request is not ours: wait for the right SID.
            if (len(reply) >= HEADER_SIZE + 2 and reply[0] & 0x40 and reply[9] == self.sid
                    and reply[10] == mrc and reply[11] == src):
                break
        end_code = (reply[12] << 8) | reply[13]
        # Bit 7 of MRES (relay error) and bits 6..7 of SRES (CPU unit errors) are flags, not
        # part of the code.
        if end_code & 0x7F3F:
            raise PlcError("PLC answered end code 0x%04X" % (end_code & 0x7F3F))
        return reply[HEADER_SIZE + 2:]

    def read_dm(self, start, count):
        data = self.command(*MEMORY_AREA_READ, struct.pack(">BHBH", DM_WORDS, start, 0, count))
        if len(data) != 2 * count:
            raise PlcError("asked for %d words, got %d bytes" % (count, len(data)))
        return list(struct.unpack(">%dH" % count, data))

    def write_dm(self, address, value):
        self.command(*MEMORY_AREA_WRITE,
                     struct.pack(">BHBHH", DM_WORDS, address, 0, 1, value))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=9600)
    parser.add_argument("--plc-node", type=int, default=10)
    parser.add_argument("--node", type=int, default=1)
    parser.add_argument("--start", type=int, default=100, help="first DM word to read")
    parser.add_argument("--count", type=int, default=10, help="number of words (1..999)")
    parser.add_argument("--write", metavar="WORD=VALUE",
                        help="write one DM word first, e.g. 100=1234 or 100=0x04D2")
    parser.add_argument("--timeout", type=float, default=2.0, help="seconds to wait for a reply")
    args = parser.parse_args()

    client = FinsUdpClient(args.host, args.port, args.plc_node, args.node, args.timeout)
    try:
        if args.write:
            word, _, value = args.write.partition("=")
            client.write_dm(int(word), int(value, 0))
            print("DM%d <- %d" % (int(word), int(value, 0)))
        for i, value in enumerate(client.read_dm(args.start, args.count)):
            print("DM%d = %d (0x%04X)" % (args.start + i, value, value))
    except PlcError as e:
        print("error: %s" % e, file=sys.stderr)
        return 1
    finally:
        client.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
