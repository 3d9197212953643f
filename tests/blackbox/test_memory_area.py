"""Direct reads and writes of PLC memory through the daemon, checked word by
word against the simulated PLC's memory."""

import struct
import unittest
import xmlrpc.client

import harness as h


def float_words(value):
    raw = struct.unpack("<I", struct.pack("<f", value))[0]
    return [raw & 0xFFFF, raw >> 16]


def double_words(value):
    raw = struct.unpack("<Q", struct.pack("<d", value))[0]
    return [(raw >> (16 * i)) & 0xFFFF for i in range(4)]


def as_float32(value):
    return struct.unpack("<f", struct.pack("<f", value))[0]


# (type name, value written, PLC words it gives (lowest address first),
#  value read back). Signed BCD patterns follow the four sign conventions.
WORD_CASES = [
    ("Int16", 40000, [0x9C40], -25536),
    ("Int16", -2, [0xFFFE], -2),
    ("Uint16", 70000, [4464], 4464),
    ("Uint16", -1, [0xFFFF], 65535),
    ("Int32", -2, [0xFFFE, 0xFFFF], -2),
    ("Int32", 0x12345678, [0x5678, 0x1234], 0x12345678),
    ("Uint32", -1, [0xFFFF, 0xFFFF], -1),
    ("Uint32", 0x7FFF0001, [0x0001, 0x7FFF], 0x7FFF0001),
    ("BCD16", 1234, [0x1234], 1234),
    ("BCD32", 12345678, [0x5678, 0x1234], 12345678),
    ("SBCD16_0", -123, [0x1123], -123),
    ("SBCD16_1", -7999, [0xF999], -7999),
    ("SBCD16_2", -5, [0xF005], -5),
    ("SBCD16_2", 9999, [0x9999], 9999),
    ("SBCD16_3", -1234, [0xA234], -1234),
    ("SBCD32_0", -1, [0x0001, 0x1000], -1),
    ("SBCD32_1", -1, [0x0001, 0x8000], -1),
    ("SBCD32_2", -1234567, [0x4567, 0xF123], -1234567),
    ("SBCD32_3", -12345678, [0x5678, 0xA234], -12345678),
    ("Float", 1.5, [0x0000, 0x3FC0], 1.5),
    ("Float", 0.1, float_words(0.1), as_float32(0.1)),
    ("Double", -2.5, [0, 0, 0, 0xC004], -2.5),
    ("Double", 1 / 3, double_words(1 / 3), 1 / 3),
]


class MemoryAreaTest(unittest.TestCase):
    """One daemon connected to one simulated PLC; each test uses its own
    addresses."""

    @classmethod
    def setUpClass(cls):
        h.start_connected_gateway(cls)

    def setUp(self):
        self.rpc = h.client()
        self.addCleanup(self.rpc("close"))

    def write(self, type_name, address, value):
        return getattr(self.rpc, "memoryAreaWrite" + type_name)(address, value)

    def read(self, type_name, address):
        answer = getattr(self.rpc, "memoryAreaRead" + type_name)(address)
        if type_name == "Float":
            # The server library writes doubles with 16 significant digits,
            # enough to name every float but not always its exact widening:
            # a client takes the answer back to single precision.
            answer["value"] = as_float32(answer["value"])
        return answer

    def test_writes_put_the_words_reads_take_them_back(self):
        for n, (type_name, value, words, back) in enumerate(WORD_CASES):
            word = 1000 + 10 * n
            address = "DM%d" % word
            with self.subTest(type=type_name, value=value):
                self.assertEqual(self.write(type_name, address, value), 0)
                self.assertEqual(self.plc.words("DM", word, len(words)), words)
                self.assertEqual(self.read(type_name, address),
                                 {"state": 0, "value": back})

    def test_reads_decode_words_set_in_the_plc(self):
        for n, (type_name, _, words, back) in enumerate(WORD_CASES):
            word = 2000 + 10 * n
            with self.subTest(type=type_name, words=words):
                self.plc.set_words("DM", word, words)
                self.assertEqual(self.read(type_name, "DM%d" % word),
                                 {"state": 0, "value": back})

    def test_unsigned_32_bit_values_from_2_to_the_31_arrive_negative(self):
        self.plc.set_words("DM", 3000, [0x0000, 0x8000])
        self.assertEqual(self.read("Uint32", "DM3000")["value"], -2 ** 31)
        self.plc.set_words("DM", 3002, [0xFFFF, 0xFFFF])
        self.assertEqual(self.read("Uint32", "DM3002")["value"], -1)
        self.assertEqual(self.read("Int32", "DM3002")["value"], -1)

    def test_floats_beyond_the_float_range_round_as_ieee_does(self):
        largest = struct.unpack("<f", struct.pack("<I", 0x7F7FFFFF))[0]
        cases = [(largest, [0xFFFF, 0x7F7F]),
                 (largest * (1 + 2 ** -26), [0xFFFF, 0x7F7F]),
                 (1e39, [0x0000, 0x7F80]),
                 (-1e300, [0x0000, 0xFF80])]
        for value, words in cases:
            with self.subTest(value=value):
                self.assertEqual(self.write("Float", "DM3100", value), 0)
                self.assertEqual(self.plc.words("DM", 3100, 2), words)

    def test_infinite_and_nan_values_fault_and_the_daemon_serves_on(self):
        # XML-RPC has no form for them, yet PLC words can hold them.
        cases = [("Float", [0x0000, 0x7F80]), ("Float", [0x0000, 0xFFC0]),
                 ("Double", [0, 0, 0, 0xFFF0]), ("Double", [1, 0, 0, 0x7FF8])]
        for type_name, words in cases:
            with self.subTest(type=type_name, words=words):
                self.plc.set_words("DM", 3200, words)
                with self.assertRaises(xmlrpc.client.Fault):
                    self.read(type_name, "DM3200")
        self.assertEqual(self.rpc.getState(), h.CONNECTED)

    def test_bits(self):
        self.assertEqual(self.write("Bit", "W10.3", True), 0)
        self.assertEqual(self.plc.bit("W10.3"), 1)
        self.assertEqual(self.plc.word("W10"), 8)
        self.assertEqual(self.read("Bit", "W10.3"), {"state": 0, "value": True})
        self.assertEqual(self.read("Bit", "W10.2"),
                         {"state": 0, "value": False})
        self.assertEqual(self.write("Bit", "W10.3", False), 0)
        self.assertEqual(self.plc.bit("W10.3"), 0)

        # An int is not a boolean: the call faults and writes nothing.
        with self.assertRaises(xmlrpc.client.Fault):
            self.write("Bit", "W10.3", 1)
        self.assertEqual(self.plc.bit("W10.3"), 0)

    def test_forced_bits(self):
        self.plc.set("W20.3", 1)
        self.plc.set("W20.5", 1)
        self.plc.force("W20", 0x0009)  # bits 0 and 3 forced
        self.assertEqual(self.read("BitForced", "W20.3"),
                         {"state": 0, "value": [True, True]})
        self.assertEqual(self.read("BitForced", "W20.5"),
                         {"state": 0, "value": [True, False]})
        self.assertEqual(self.read("BitForced", "W20.0"),
                         {"state": 0, "value": [False, True]})
        self.assertEqual(self.read("BitForced", "W20.2"),
                         {"state": 0, "value": [False, False]})

    def test_forced_words_answer_truth_values(self):
        self.plc.set("W21", 0x1234)
        self.plc.force("W21", 0x0100)
        self.plc.force("W23", 0xFFFF)
        self.plc.set("W24", 0x8000)
        self.assertEqual(self.read("WordForced", "W21"),
                         {"state": 0, "value": [1, 1]})
        self.assertEqual(self.read("WordForced", "W22"),
                         {"state": 0, "value": [0, 0]})
        self.assertEqual(self.read("WordForced", "W23"),
                         {"state": 0, "value": [0, 1]})
        self.assertEqual(self.read("WordForced", "W24"),
                         {"state": 0, "value": [1, 0]})

    def test_address_forms(self):
        self.plc.set("CIO10", 0x0020)
        self.assertEqual(self.read("Bit", "CIO 10.05")["value"], True)
        self.assertEqual(self.read("Bit", "cio10.5")["value"], True)
        self.plc.set("A448", 4321)
        self.assertEqual(self.read("Int16", "A448")["value"], 4321)
        self.plc.set("H7", 99)
        self.assertEqual(self.read("Uint16", "H7")["value"], 99)
        # Numbered EM banks are apart from each other and from DM.
        self.assertEqual(self.write("Int16", "E0_100", 555), 0)
        self.assertEqual(self.write("Int16", "E1_100", 666), 0)
        self.assertEqual(self.read("Int16", "E0_100")["value"], 555)
        self.assertEqual(self.read("Int16", "E1_100")["value"], 666)
        self.assertEqual(self.plc.word("DM100"), 0)

    def test_failures_are_codes_not_faults(self):
        # A0..A447 are read-only.
        self.assertNotEqual(self.write("Int16", "A0", 1), 0)
        self.assertEqual(self.plc.word("A0"), 0)
        for address in ["DM100.16", "XYZ100", "", "DM"]:
            with self.subTest(address=address):
                self.assertNotEqual(self.write("Int16", address, 1), 0)
                answer = self.read("Int16", address)
                self.assertNotEqual(answer["state"], 0)
                self.assertEqual(answer["value"], 0)


if __name__ == "__main__":
    unittest.main()
