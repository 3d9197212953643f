"""Mappings between PLC memory and robot registers: adding, listing,
inspecting and removing them, values moving both ways between the two
simulators, and the mapping states after each event."""

import struct
import threading
import unittest
import xmlrpc.client

import harness as h

PLC_TO_ROBOT, ROBOT_TO_PLC = 0, 1
INT16, UINT32, FLOAT, DOUBLE, BIT, BIT_FORCED, WORD_FORCED = (
    1, 4, 15, 16, 17, 18, 19)


def float_words(value):
    raw = struct.unpack("<I", struct.pack("<f", value))[0]
    return [raw & 0xFFFF, raw >> 16]


class MappingFixture(unittest.TestCase):
    """A daemon connected to a simulated PLC, with the simulated external IO
    service running."""

    @classmethod
    def setUpClass(cls):
        # Stopped in reverse order, also when a later step fails.
        cls.exio = h.ExioSim()
        # A test restarts the service: the one running at the end is stopped.
        cls.addClassCleanup(lambda: cls.exio.stop())
        h.start_connected_gateway(cls)

    def setUp(self):
        self.rpc = h.client()
        self.addCleanup(self.rpc("close"))

    def add(self, address, register, data_type, direction, second=""):
        self.assertIs(self.rpc.addMapping(address, register, second,
                                          data_type, direction), True)

    def state_of(self, register):
        return lambda: self.rpc.getMappingState(register)

    def wait_state(self, register, state):
        return h.wait_for(self.state_of(register), lambda s: s == state,
                          what="state %d of %s" % (state, register))

    def wait_robot_input(self, bank, index, value):
        h.wait_for(lambda: self.exio.input(bank, index),
                   lambda v: v == value,
                   what="robot input %s %d = %r" % (bank, index, value))

    def wait_plc(self, read, value, what):
        h.wait_for(read, lambda v: v == value, what=what)

    def remove(self, register):
        self.assertEqual(self.rpc.removeMapping(register), 0)
        self.wait_state(register, h.MAP_NOT_FOUND)


class MappingTest(MappingFixture):
    """Each test maps its own PLC addresses and robot registers."""

    def test_plc_word_moves_to_a_robot_input(self):
        self.plc.set("DM200", 1234)
        self.add("DM200", "in3", INT16, PLC_TO_ROBOT)
        seen = h.observe_until(self.state_of("in3"), h.MAP_GOOD,
                               what="state")
        self.assertTrue(set(seen) <= {h.MAP_NOT_FOUND, h.MAP_NEW, h.MAP_GOOD},
                        seen)
        self.wait_robot_input("int", 3, 1234)
        self.assertEqual(self.exio.holder("int", 3), "FINS_EX_IO")

        self.plc.set("DM200", 0xFFFF)
        self.wait_robot_input("int", 3, -1)
        # A direct read of a mapped address answers the kept value.
        self.assertEqual(self.rpc.memoryAreaReadInt16("DM200"),
                         {"state": 0, "value": -1})
        self.assertEqual(self.rpc.getMappingDirection("in3"), PLC_TO_ROBOT)
        self.assertEqual(self.rpc.getMappingTable().get("in3"), "DM200")

        self.remove("in3")
        self.assertEqual(self.rpc.getMappingDirection("in3"), -1)
        self.assertNotIn("in3", self.rpc.getMappingTable())

    def test_robot_output_moves_to_a_plc_word(self):
        self.exio.set_output("int", 7, 4321)
        self.add("DM210", "out7", INT16, ROBOT_TO_PLC)
        self.wait_plc(lambda: self.plc.word("DM210"), 4321, "DM210")
        self.wait_state("out7", h.MAP_GOOD)
        self.exio.set_output("int", 7, -5)
        self.wait_plc(lambda: self.plc.word("DM210"), 0x10000 - 5, "DM210")
        self.assertEqual(self.rpc.getMappingDirection("out7"), ROBOT_TO_PLC)
        self.assertEqual(self.rpc.getMappingTable().get("out7"), "DM210")
        self.remove("out7")
        self.assertNotIn("out7", self.rpc.getMappingTable())

    def test_bits_move_both_ways(self):
        self.plc.set("W30.4", 1)
        self.add("W30.4", "bin4", BIT, PLC_TO_ROBOT)
        self.wait_robot_input("bool", 4, True)
        self.plc.set("W30.4", 0)
        self.wait_robot_input("bool", 4, False)

        self.exio.set_output("bool", 5, True)
        self.add("W31.5", "bout5", BIT, ROBOT_TO_PLC)
        self.wait_plc(lambda: self.plc.bit("W31.5"), 1, "W31.5")
        self.exio.set_output("bool", 5, False)
        self.wait_plc(lambda: self.plc.bit("W31.5"), 0, "W31.5")
        self.remove("bin4")
        self.remove("bout5")

    def test_floating_point_values_move_both_ways(self):
        self.plc.set_words("DM", 220, float_words(2.5))
        self.add("DM220", "din2", FLOAT, PLC_TO_ROBOT)
        self.wait_robot_input("double", 2, 2.5)

        self.exio.set_output("double", 3, -1.25)
        self.add("DM230", "dout3", DOUBLE, ROBOT_TO_PLC)
        self.wait_plc(lambda: self.rpc.memoryAreaReadDouble("DM230"),
                      {"state": 0, "value": -1.25}, "DM230")
        self.remove("din2")
        self.remove("dout3")

    def test_largest_unsigned_32_bit_value_reaches_the_robot_as_minus_one(self):
        self.plc.set_words("DM", 240, [0xFFFF, 0xFFFF])
        self.add("DM240", "in24", UINT32, PLC_TO_ROBOT)
        self.wait_robot_input("int", 24, -1)
        self.remove("in24")

    def test_forced_word_fills_two_robot_registers(self):
        self.plc.set("W40", 0x00FF)
        self.plc.force("W40", 0x0003)
        self.add("W40", "in40", WORD_FORCED, PLC_TO_ROBOT, second="in41")
        self.wait_robot_input("int", 40, 0x00FF)
        self.wait_robot_input("int", 41, 0x0003)
        self.wait_state("in40", h.MAP_GOOD)
        self.remove("in40")

    def test_forced_bit_without_a_second_register_is_refused(self):
        self.add("W41.0", "bin42", BIT_FORCED, PLC_TO_ROBOT)
        self.wait_state("bin42", h.MAP_CLAIM_REFUSED)
        self.assertEqual(self.exio.holder("bool", 42), "")
        self.remove("bin42")

    def test_register_held_by_another_owner_is_refused(self):
        with self.exio.rpc() as robot:
            self.assertIs(robot.occupyInput("ROBOT_PROGRAM", 1, 50), True)
        self.add("DM250", "in50", INT16, PLC_TO_ROBOT)
        self.wait_state("in50", h.MAP_CLAIM_REFUSED)
        self.assertEqual(self.exio.holder("int", 50), "ROBOT_PROGRAM")
        # Once the other owner lets go, the daemon claims it on its own.
        with self.exio.rpc() as robot:
            self.assertEqual(robot.releaseInput("ROBOT_PROGRAM", 1, 50), 0)
        self.wait_state("in50", h.MAP_GOOD)
        self.assertEqual(self.exio.holder("int", 50), "FINS_EX_IO")
        self.remove("in50")

    def test_rejected_mappings_are_never_listed(self):
        rejected = [("DM260", "in60", 0), ("DM261", "in61", 20),
                    ("DM100.16", "in62", INT16), ("", "in63", INT16),
                    ("DM264", "", INT16), ("DM265", "in1234", INT16)]
        for address, register, data_type in rejected:
            self.add(address, register, data_type, PLC_TO_ROBOT)
        # Added after them; once it is listed, their workers have long run.
        self.add("DM266", "in66", INT16, PLC_TO_ROBOT)
        h.wait_for(self.rpc.getMappingTable, lambda t: "in66" in t,
                   what="in66 listed")
        table = self.rpc.getMappingTable()
        for _, register, _ in rejected:
            self.assertNotIn(register, table)
            self.assertEqual(self.rpc.getMappingState(register),
                             h.MAP_NOT_FOUND)
        self.remove("in66")

    def test_add_mapping_needs_all_five_parameters(self):
        with self.assertRaises(xmlrpc.client.Fault):
            self.rpc.addMapping("DM270", "in70", "", INT16)
        self.add("DM271", "in71", INT16, PLC_TO_ROBOT)
        h.wait_for(self.rpc.getMappingTable, lambda t: "in71" in t,
                   what="in71 listed")
        self.assertNotIn("in70", self.rpc.getMappingTable())
        self.remove("in71")

    def test_one_name_in_both_directions(self):
        self.add("DM280", "io80", INT16, PLC_TO_ROBOT)
        self.wait_state("io80", h.MAP_GOOD)
        self.add("DM281", "io80", INT16, ROBOT_TO_PLC)
        h.wait_for(self.rpc.getMappingTable, lambda t: t.get("io80") == "DM281",
                   what="io80 listed with its robot-to-PLC address")
        self.assertEqual(self.rpc.getMappingDirection("io80"), PLC_TO_ROBOT)
        # The first removal takes the PLC-to-robot mapping, the second the
        # other one.
        self.rpc.removeMapping("io80")
        h.wait_for(lambda: self.rpc.getMappingDirection("io80"),
                   lambda d: d == ROBOT_TO_PLC, what="robot-to-PLC left")
        self.remove("io80")
        self.assertEqual(self.rpc.getMappingDirection("io80"), -1)

    def test_address_of_no_memory_area_is_listed_and_fails_its_reads(self):
        # The text decodes, so the mapping is taken; the PLC has no such
        # area, so every read of it fails with the library's area code.
        self.add("QQ1", "in92", INT16, PLC_TO_ROBOT)
        self.addCleanup(self.remove, "in92")
        self.wait_state("in92", 0x8301)
        self.assertEqual(self.rpc.getMappingTable().get("in92"), "QQ1")

    def test_non_finite_plc_value_mapped_to_the_robot_spares_the_daemon(self):
        self.plc.set_words("DM", 295, float_words(float("inf")))
        self.add("DM295", "din95", FLOAT, PLC_TO_ROBOT)
        self.addCleanup(self.remove, "din95")
        self.plc.set_words("DM", 297, float_words(3.5))
        self.add("DM297", "din97", FLOAT, PLC_TO_ROBOT)
        self.addCleanup(self.remove, "din97")
        self.wait_robot_input("double", 97, 3.5)
        self.assertEqual(self.rpc.getState(), h.CONNECTED)

    def test_address_text_is_listed_as_given(self):
        self.add(" dm290", "in90", INT16, PLC_TO_ROBOT)
        h.wait_for(self.rpc.getMappingTable, lambda t: "in90" in t,
                   what="in90 listed")
        self.assertEqual(self.rpc.getMappingTable()["in90"], " dm290")
        self.remove("in90")

    def test_clients_calling_at_once_while_mappings_change(self):
        stop = threading.Event()
        errors = []

        def poll(calls):
            with h.client() as rpc:
                while not stop.is_set():
                    try:
                        for name, args in calls:
                            getattr(rpc, name)(*args)
                    except Exception as e:  # reported below
                        errors.append(e)
                        return

        readers = [
            [("getState", ()), ("getMappingTable", ())],
            [("memoryAreaReadInt16", ("DM330",)),
             ("memoryAreaReadInt16", ("DM331",))],
            [("getMappingState", ("in33",)), ("PLCModeGet", ())],
            [("memoryAreaWriteInt16", ("DM340", 5)), ("CPUUnitDataRead", ())],
        ]
        threads = [threading.Thread(target=poll, args=(calls,))
                   for calls in readers]
        for t in threads:
            t.start()
        try:
            names = ["%s%d" % (kind, i) for kind in ("in", "out")
                     for i in range(33, 38)]
            for round_ in range(5):
                for i in range(33, 38):
                    self.add("DM%d" % (300 + i), "in%d" % i, INT16,
                             PLC_TO_ROBOT)
                    self.add("DM%d" % (350 + i), "out%d" % i, INT16,
                             ROBOT_TO_PLC)
                h.wait_for(self.rpc.getMappingTable,
                           lambda t: all(n in t for n in names),
                           what="round %d added" % round_)
                for name in names:
                    self.rpc.removeMapping(name)
                h.wait_for(self.rpc.getMappingTable,
                           lambda t: not any(n in t for n in names),
                           what="round %d removed" % round_)
        finally:
            stop.set()
            for t in threads:
                t.join()
        self.assertEqual(errors, [])
        self.assertEqual(self.rpc.getState(), h.CONNECTED)


class OutageTest(MappingFixture):
    """The PLC and the external IO service going away and coming back."""

    def test_service_down_and_back(self):
        self.plc.set("DM300", 11)
        self.add("DM300", "in30", INT16, PLC_TO_ROBOT)
        self.add("DM301", "out31", INT16, ROBOT_TO_PLC)
        self.wait_state("in30", h.MAP_GOOD)
        self.wait_state("out31", h.MAP_GOOD)

        type(self).exio.stop()
        self.wait_state("in30", h.MAP_SERVICE_DOWN)
        self.wait_state("out31", h.MAP_SERVICE_DOWN)
        self.assertEqual(self.rpc.memoryAreaReadInt16("DM300"),
                         {"state": h.MAP_SERVICE_DOWN, "value": 0})

        # A restarted service starts with free, zeroed registers; the
        # daemon claims and fills them again.
        type(self).exio = h.ExioSim()
        self.wait_state("in30", h.MAP_GOOD)
        self.wait_robot_input("int", 30, 11)
        self.exio.set_output("int", 31, 31)
        self.wait_plc(lambda: self.plc.word("DM301"), 31, "DM301")
        self.remove("in30")
        self.remove("out31")

    def test_disconnect_and_connect_again(self):
        self.plc.set("DM310", 7)
        self.add("DM310", "in31", INT16, PLC_TO_ROBOT)
        self.wait_robot_input("int", 31, 7)

        self.rpc.disconnect()
        self.wait_state("in31", h.NO_CONNECTION)
        self.assertEqual(self.rpc.memoryAreaReadInt16("DM310"),
                         {"state": h.NO_CONNECTION, "value": 0})
        # Mappings survive the disconnect; the robot keeps the last value.
        self.plc.set("DM310", 8)
        self.assertEqual(self.exio.input("int", 31), 7)

        self.gateway.connect(self.plc.port)
        self.wait_state("in31", h.MAP_GOOD)
        self.wait_robot_input("int", 31, 8)
        self.remove("in31")


if __name__ == "__main__":
    unittest.main()
