"""The daemon's XML-RPC surface: method names, faults, parameters, the
answers it gives without a PLC, one instance per port, and many clients."""

import os
import subprocess
import threading
import unittest
import xmlrpc.client

import harness as h

METHODS = [
    "CPUUnitDataRead", "PLCModeSet", "PLCModeGet", "connect", "connectUdp",
    "getTransport", "disconnect", "getState",
    "memoryAreaReadInt16", "memoryAreaReadInt32", "memoryAreaReadUint16",
    "memoryAreaReadUint32", "memoryAreaReadBCD16", "memoryAreaReadBCD32",
    "memoryAreaReadSBCD16_0", "memoryAreaReadSBCD16_1",
    "memoryAreaReadSBCD16_2", "memoryAreaReadSBCD16_3",
    "memoryAreaReadSBCD32_0", "memoryAreaReadSBCD32_1",
    "memoryAreaReadSBCD32_2", "memoryAreaReadSBCD32_3",
    "memoryAreaReadFloat", "memoryAreaReadDouble", "memoryAreaReadBit",
    "memoryAreaReadBitForced", "memoryAreaReadWordForced",
    "memoryAreaWriteInt16", "memoryAreaWriteUint16", "memoryAreaWriteInt32",
    "memoryAreaWriteUint32", "memoryAreaWriteBCD16", "memoryAreaWriteBCD32",
    "memoryAreaWriteSBCD16_0", "memoryAreaWriteSBCD16_1",
    "memoryAreaWriteSBCD16_2", "memoryAreaWriteSBCD16_3",
    "memoryAreaWriteSBCD32_0", "memoryAreaWriteSBCD32_1",
    "memoryAreaWriteSBCD32_2", "memoryAreaWriteSBCD32_3",
    "memoryAreaWriteBit", "memoryAreaWriteFloat", "memoryAreaWriteDouble",
    "addMapping", "removeMapping", "getMappingState", "getMappingTable",
    "getMappingDirection", "getDiagnostics",
]

# What each read answers as "value" when it read nothing.
ZERO_BY_READ = {
    "memoryAreaReadFloat": 0.0, "memoryAreaReadDouble": 0.0,
    "memoryAreaReadBit": False, "memoryAreaReadBitForced": [False, False],
    "memoryAreaReadWordForced": [0, 0],
}

NO_SUCH_METHOD = -506


def write_argument(name):
    if name.endswith(("Float", "Double")):
        return 1.0
    if name.endswith("Bit"):
        return True
    return 1


class ApiTest(unittest.TestCase):
    """One daemon, never connected to a PLC."""

    @classmethod
    def setUpClass(cls):
        cls.gateway = h.Gateway()

    @classmethod
    def tearDownClass(cls):
        cls.gateway.stop()

    def setUp(self):
        self.rpc = h.client()
        self.addCleanup(self.rpc("close"))

    def test_list_methods_names_the_50_methods_in_registration_order(self):
        names = [n for n in self.rpc.system.listMethods()
                 if not n.startswith("system.")]
        self.assertEqual(len(METHODS), 50)
        self.assertEqual(names, METHODS)

    def test_unknown_and_wrong_case_names_fault(self):
        for name in ["memoryAreaWriteBitForced", "memoryAreaWriteWordForced",
                     "getstate", "GetState", "cpuUnitDataRead",
                     "plcModeGet", "MemoryAreaReadInt16", "addmapping",
                     "memoryAreaReadint16", "noSuchMethod"]:
            with self.subTest(name=name):
                with self.assertRaises(xmlrpc.client.Fault) as caught:
                    getattr(self.rpc, name)()
                self.assertEqual(caught.exception.faultCode, NO_SUCH_METHOD)

    def test_missing_and_mistyped_parameters_fault(self):
        calls = [
            ("connect", ("127.0.0.1", 9600, 0, 0, 0, 0, 0, 0)),  # 8 of 9
            ("connect", ("127.0.0.1", "9600", 0, 0, 0, 0, 0, 0, 0)),
            ("connect", (1, 9600, 0, 0, 0, 0, 0, 0, 0)),
            ("PLCModeSet", ()),
            ("PLCModeSet", (1,)),
            ("memoryAreaReadInt16", ()),
            ("memoryAreaReadInt16", (100,)),
            ("memoryAreaWriteInt16", ("DM100",)),
            ("memoryAreaWriteInt16", ("DM100", "1")),
            ("memoryAreaWriteInt16", ("DM100", 1.0)),
            ("memoryAreaWriteUint32", ("DM100", True)),
            ("memoryAreaWriteFloat", ("DM100", 1)),
            ("memoryAreaWriteDouble", ("DM100", "1.0")),
            ("memoryAreaWriteBit", ("W1.0", 1)),
            ("addMapping", ("DM100", "in1", "", 1)),
            ("addMapping", ("DM100", "in1", "", "1", 0)),
            ("addMapping", ("DM100", "in1", 0, 1, 0)),
            ("removeMapping", ()),
            ("getMappingState", (1,)),
            ("getMappingDirection", ()),
        ]
        for name, args in calls:
            with self.subTest(name=name, args=args):
                with self.assertRaises(xmlrpc.client.Fault) as caught:
                    getattr(self.rpc, name)(*args)
                self.assertNotEqual(caught.exception.faultCode, NO_SUCH_METHOD)
        # None of them reached the engine.
        self.assertEqual(self.rpc.getState(), h.DISCONNECTED)
        self.assertEqual(self.rpc.getMappingTable(), {})

    def test_surplus_parameters_are_ignored(self):
        self.assertEqual(self.rpc.getState("extra", 1), h.DISCONNECTED)
        self.assertEqual(self.rpc.getMappingDirection("nothing", 7), -1)
        self.assertEqual(self.rpc.memoryAreaWriteInt16("DM1", 1, "extra"),
                         h.NO_CONNECTION)

    def test_reads_without_a_plc_answer_a_code_and_zero(self):
        for name in [m for m in METHODS if m.startswith("memoryAreaRead")]:
            with self.subTest(name=name):
                answer = getattr(self.rpc, name)("DM100")
                self.assertEqual(sorted(answer), ["state", "value"])
                self.assertEqual(answer["state"], h.NO_CONNECTION)
                zero = ZERO_BY_READ.get(name, 0)
                self.assertEqual(answer["value"], zero)
                self.assertIs(type(answer["value"]), type(zero))

    def test_writes_without_a_plc_answer_a_code(self):
        for name in [m for m in METHODS if m.startswith("memoryAreaWrite")]:
            with self.subTest(name=name):
                self.assertEqual(
                    getattr(self.rpc, name)("DM100", write_argument(name)),
                    h.NO_CONNECTION)

    def test_plc_mode_without_a_connection(self):
        self.assertEqual(self.rpc.PLCModeGet(), "UNKNOWN")
        self.assertIs(self.rpc.PLCModeSet("CJ"), False)
        self.assertEqual(self.rpc.PLCModeGet(), "UNKNOWN")

    def test_cpu_unit_data_before_any_connection_is_empty(self):
        data = self.rpc.CPUUnitDataRead()
        self.assertEqual(data["model"], "")
        self.assertEqual(data["version"], "")
        self.assertEqual(data["system_block"], [0] * 40)
        self.assertEqual(data["bus_unit_id"], [0] * 16)
        self.assertEqual(data["bus_unit_present"], [False] * 16)
        self.assertEqual(data["dip_switch"], [False] * 8)
        for member in ["largest_em_bank", "program_area_size", "iom_size",
                       "number_of_dm_words", "timer_counter_size",
                       "em_non_file_memory_size", "memory_card_size",
                       "num_sysmac_bus_masters", "num_racks",
                       "memory_card_type"]:
            self.assertEqual(data[member], 0, member)
        self.assertEqual(len(data), 16)

    def test_mapping_queries_of_unknown_names(self):
        self.assertEqual(self.rpc.getMappingState("never"), h.MAP_NOT_FOUND)
        self.assertEqual(self.rpc.getMappingDirection("never"), -1)
        self.assertEqual(self.rpc.removeMapping("never"), 0)

    def test_second_instance_ends_with_an_error_while_the_first_serves(self):
        second = subprocess.run([os.environ["FINS_GATEWAY"]],
                                stdin=subprocess.DEVNULL,
                                stdout=subprocess.DEVNULL,
                                stderr=subprocess.PIPE, text=True,
                                timeout=h.WAIT)
        self.assertNotEqual(second.returncode, 0)
        lines = second.stderr.strip().splitlines()
        self.assertEqual(len(lines), 1, second.stderr)
        self.assertIn("9601", lines[0])
        self.assertEqual(self.rpc.getState(), h.DISCONNECTED)

    def test_many_kept_alive_clients_do_not_lock_out_another(self):
        # Each of these clients holds its HTTP connection open after its
        # call, as a polling user interface does.
        holders = [h.client() for _ in range(24)]
        errors = []

        def call(rpc):
            try:
                rpc.getState()
            except Exception as e:  # reported below
                errors.append(e)

        threads = [threading.Thread(target=call, args=(rpc,))
                   for rpc in holders]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        self.assertEqual(errors, [])
        # A server that serves no more connections than that would leave
        # this one waiting until a kept-alive connection times out.
        with h.client(timeout=5.0) as another:
            self.assertEqual(another.getState(), h.DISCONNECTED)
        for rpc in holders:
            self.assertEqual(rpc.getState(), h.DISCONNECTED)
            rpc("close")()


if __name__ == "__main__":
    unittest.main()
