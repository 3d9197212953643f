"""Connecting the daemon to a PLC: the states it passes through, failures,
disconnects, the PLC family and the CPU unit data. A fresh daemon per test,
as every test leaves the connection in a state of its own."""

import unittest

import harness as h


class ConnectionTest(unittest.TestCase):

    def setUp(self):
        self.gateway = h.Gateway()
        self.addCleanup(self.gateway.stop)
        self.rpc = self.gateway.rpc

    def plc(self, **options):
        plc = h.PlcSim(**options)
        self.addCleanup(plc.stop)
        return plc

    def test_connect_reaches_connected_and_disconnect_twice(self):
        plc = self.plc()
        self.assertEqual(self.rpc.getState(), h.DISCONNECTED)
        self.assertEqual(self.rpc.connect("127.0.0.1", plc.port,
                                          0, 0, 0, 0, 0, 0, 0), 0)
        seen = h.observe_until(self.rpc.getState, h.CONNECTED, what="state")
        self.assertTrue(set(seen) <= {h.DISCONNECTED, h.CONNECTING,
                                      h.CONNECTED}, seen)
        self.assertEqual(self.rpc.PLCModeGet(), "CJ")

        # The second arrives while the first one's worker may still run.
        self.assertEqual(self.rpc.disconnect(), 0)
        self.assertEqual(self.rpc.disconnect(), 0)
        h.wait_for(self.rpc.getState, lambda s: s == h.DISCONNECTED,
                   what="disconnected")
        self.assertEqual(self.rpc.memoryAreaReadInt16("DM0")["state"],
                         h.NO_CONNECTION)
        # A disconnect later on still works, so no worker is left marked busy.
        self.gateway.connect(plc.port)
        self.assertEqual(self.rpc.disconnect(), 0)
        h.wait_for(self.rpc.getState, lambda s: s == h.DISCONNECTED,
                   what="disconnected again")

    def test_unanswered_handshake_is_connecting_then_failed(self):
        silent = h.SilentPlc()
        self.addCleanup(silent.close)
        self.assertEqual(self.rpc.connect("127.0.0.1", silent.port,
                                          0, 0, 0, 0, 0, 0, 0), 0)
        h.wait_for(self.rpc.getState, lambda s: s == h.CONNECTING,
                   what="connecting")
        # While an attempt runs, connect answers at once, parameters or not.
        self.assertEqual(self.rpc.connect(), 0)
        silent.close()
        h.wait_for(self.rpc.getState, lambda s: s == h.CONNECT_FAILED,
                   what="connect failed")

    def test_refused_connection_fails_and_is_retried(self):
        port = h.free_port()
        self.rpc.connect("127.0.0.1", port, 0, 0, 0, 0, 0, 0, 0)
        h.wait_for(self.rpc.getState, lambda s: s == h.CONNECT_FAILED,
                   what="connect failed")
        # The daemon keeps retrying with the same parameters: a PLC that
        # turns up on that port is connected without another call.
        self.plc(port=port)
        h.wait_for(self.rpc.getState, lambda s: s == h.CONNECTED,
                   what="reconnected")

    def test_lost_plc_is_noticed_and_reconnected(self):
        plc = self.plc()
        self.gateway.connect(plc.port)
        plc.stop()
        h.wait_for(self.rpc.getState,
                   lambda s: s in (h.CONNECT_FAILED, h.CONNECTING),
                   what="lost connection")
        self.plc(port=plc.port)
        h.wait_for(self.rpc.getState, lambda s: s == h.CONNECTED,
                   what="reconnected")

    def test_unknown_family_until_the_mode_is_set(self):
        plc = self.plc(model="XY9-CPU00")
        self.assertEqual(self.gateway.connect(plc.port), h.FAMILY_UNKNOWN)
        self.assertEqual(self.rpc.PLCModeGet(), "UNKNOWN")
        self.assertNotEqual(self.rpc.memoryAreaReadInt16("DM5")["state"], 0)

        self.assertIs(self.rpc.PLCModeSet("XJ"), False)
        self.assertIs(self.rpc.PLCModeSet("C"), False)
        self.assertIs(self.rpc.PLCModeSet("CJ"), True)
        self.assertEqual(self.rpc.PLCModeGet(), "CJ")
        self.assertTrue(self.rpc.CPUUnitDataRead()["model"].startswith("CJ"))
        plc.set("DM5", 77)
        self.assertEqual(self.rpc.memoryAreaReadInt16("DM5"),
                         {"state": 0, "value": 77})

    def test_cpu_unit_data_of_the_simulated_plc(self):
        plc = self.plc()
        self.gateway.connect(plc.port)
        data = self.rpc.CPUUnitDataRead()
        self.assertEqual(data["model"], "CJ2M-CPU33")
        self.assertEqual(data["version"], "02.00")
        self.assertEqual(data["largest_em_bank"], 12)
        self.assertEqual(data["program_area_size"], 0x14)
        self.assertEqual(data["iom_size"], 0x17)
        self.assertEqual(data["number_of_dm_words"], 0x8000)
        self.assertEqual(data["timer_counter_size"], 8)
        self.assertEqual(data["em_non_file_memory_size"], 13)
        self.assertEqual(data["num_racks"], 1)
        self.assertEqual(data["system_block"][:2], [0, 12])

    def test_cpu_unit_data_members_types_and_high_bytes(self):
        d = bytearray(158)
        d[0:20] = b"CS1H-CPU67H         "
        d[20:40] = b"04.01               "
        d[40:80] = bytes(range(0x80, 0x80 + 40))  # DIP switches 0x80
        d[80:82] = (0x1234).to_bytes(2, "big")
        d[82] = 0xFE
        d[83:85] = (0x8000).to_bytes(2, "big")
        d[85] = 0xF1
        d[86] = 0x0D
        d[89] = 0xFF  # memory card type
        d[90:92] = (0xFFFF).to_bytes(2, "big")
        d[92:94] = bytes([0xFF, 0xFF])  # unit 0: present, id 0x7FFF
        d[94:96] = bytes([0x00, 0x81])  # unit 1: absent, id 0x81
        d[156] = 3
        d[157] = 0xF2
        fake = h.FakePlc(d)
        self.addCleanup(fake.close)
        self.assertEqual(self.gateway.connect(fake.port), h.CONNECTED)

        data = self.rpc.CPUUnitDataRead()
        self.assertEqual(data["model"], "CS1H-CPU67H")
        self.assertEqual(data["version"], "04.01")
        self.assertEqual(data["system_block"], list(range(0x80, 0x80 + 40)))
        self.assertEqual(data["dip_switch"], [False] * 7 + [True])
        self.assertEqual(data["largest_em_bank"], 0x81)
        self.assertEqual(data["program_area_size"], 0x1234)
        self.assertEqual(data["iom_size"], 0xFE)
        self.assertEqual(data["number_of_dm_words"], 0x8000)
        self.assertEqual(data["timer_counter_size"], 0xF1)
        self.assertEqual(data["em_non_file_memory_size"], 0x0D)
        self.assertEqual(data["memory_card_type"], 0xFF)
        self.assertEqual(data["memory_card_size"], 0xFFFF)
        self.assertEqual(data["bus_unit_id"][:2], [0x7FFF, 0x81])
        self.assertEqual(data["bus_unit_present"][:2], [True, False])
        self.assertEqual(data["num_sysmac_bus_masters"], 3)
        self.assertEqual(data["num_racks"], 2)
        for member in ["system_block", "bus_unit_id"]:
            self.assertTrue(all(type(v) is int for v in data[member]))
        for member in ["bus_unit_present", "dip_switch"]:
            self.assertTrue(all(type(v) is bool for v in data[member]))


if __name__ == "__main__":
    unittest.main()
