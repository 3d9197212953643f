"""FINS/UDP through the daemon: "connectUdp" against the simulated PLC,
values mapped both ways, and "getTransport"."""

import unittest
import xmlrpc.client

import harness as h

PLC_TO_ROBOT, ROBOT_TO_PLC = 0, 1
INT16 = 1


class UdpTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        # Stopped in reverse order, also when a later step fails.
        cls.exio = h.ExioSim()
        cls.addClassCleanup(cls.exio.stop)
        cls.plc = h.PlcSim()
        cls.addClassCleanup(cls.plc.stop)
        cls.gateway = h.Gateway()
        cls.addClassCleanup(cls.gateway.stop)
        cls.transport_before = cls.gateway.rpc.getTransport()
        # Nodes 0: derived from the addresses' last octets.
        cls.gateway.rpc.connectUdp("127.0.0.1", cls.plc.port,
                                   0, 0, 0, 0, 0, 0, 0)
        h.wait_for(cls.gateway.rpc.getState,
                   lambda s: s == h.CONNECTED, what="UDP connection")

    def setUp(self):
        self.rpc = h.client()
        self.addCleanup(self.rpc("close"))

    def test_transport_is_named(self):
        self.assertEqual(self.transport_before, "")
        self.assertEqual(self.rpc.getTransport(), "UDP")
        self.assertEqual(self.rpc.CPUUnitDataRead()["model"], "CJ2M-CPU33")

    def test_values_move_both_ways_over_udp(self):
        self.plc.set("DM300", 321)
        self.exio.set_output("int", 6, -12)
        self.assertIs(self.rpc.addMapping("DM300", "in5", "", INT16,
                                          PLC_TO_ROBOT), True)
        self.assertIs(self.rpc.addMapping("DM310", "out6", "", INT16,
                                          ROBOT_TO_PLC), True)
        h.wait_for(lambda: self.exio.input("int", 5), lambda v: v == 321,
                   what="robot input int 5")
        h.wait_for(lambda: self.plc.word("DM310"),
                   lambda v: v == 0x10000 - 12, what="DM310")
        self.assertEqual(self.rpc.memoryAreaReadInt16("DM300"),
                         {"state": 0, "value": 321})
        for register in ("in5", "out6"):
            h.wait_for(lambda: self.rpc.getMappingState(register),
                       lambda s: s == h.MAP_GOOD, what=register)
            self.assertEqual(self.rpc.removeMapping(register), 0)

    def test_connect_udp_needs_all_nine_parameters(self):
        with self.assertRaises(xmlrpc.client.Fault):
            self.rpc.connectUdp("127.0.0.1", self.plc.port, 0, 0, 0, 0, 0, 0)
        self.assertEqual(self.rpc.getState(), h.CONNECTED)


if __name__ == "__main__":
    unittest.main()
