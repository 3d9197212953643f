"""fins-cli against fins-plc-sim, both as a user runs them: values written through the command line
come back from the simulated PLC's memory, and refusals end with the documented exit status."""

import os
import re
import subprocess
import sys
import unittest

CLI = os.environ["FINS_CLI"]
PLC_SIM = os.environ["FINS_PLC_SIM"]


class FinsCliTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        # Port 0: the simulator picks a free port and names it in its first line.
        cls.sim = subprocess.Popen([PLC_SIM, "--port", "0", "--model", "CJ2M-CPU33"],
                                   stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        line = cls.sim.stdout.readline()
        match = re.search(r"listening on 127\.0\.0\.1:(\d+)", line)
        if not match:
            cls.sim.kill()
            raise RuntimeError("simulator did not start: %r" % line)
        cls.port = match.group(1)

    @classmethod
    def tearDownClass(cls):
        cls.sim.terminate()
        cls.sim.wait(timeout=10)

    def cli(self, *args):
        return subprocess.run([CLI, "--port", self.port, *args], capture_output=True, text=True,
                              timeout=30)

    def plc_get(self, address):
        """Reads a word or bit through the simulator's own console, not through the library."""
        self.sim.stdin.write("get %s\n" % address)
        self.sim.stdin.flush()
        line = self.sim.stdout.readline()
        match = re.match(r"%s = (\d+) " % re.escape(address), line)
        self.assertIsNotNone(match, line)
        return int(match.group(1))

    def test_cpu_names_the_model_and_family(self):
        run = self.cli("cpu")
        self.assertEqual(run.returncode, 0, run.stderr)
        self.assertIn("model CJ2M-CPU33", run.stdout)
        self.assertIn("family CS/CJ/CP", run.stdout)

    def test_written_values_read_back_in_every_encoding(self):
        cases = [("DM100", "Int16", "-2", "-2"), ("DM101", "Uint16", "65535", "65535"),
                 ("DM102", "Int32", "-100000", "-100000"),
                 ("DM104", "Uint32", "4294967295", "4294967295"),
                 ("DM106", "BCD16", "1234", "1234"), ("DM107", "SBCD16_3", "-1999", "-1999"),
                 ("DM108", "BCD32", "12345678", "12345678"), ("DM110", "Float", "1.5", "1.5"),
                 ("DM112", "Double", "-0.25", "-0.25"), ("W3.15", "Bit", "1", "1")]
        for address, kind, written, expected in cases:
            with self.subTest(kind=kind):
                run = self.cli("write", address, kind, written)
                self.assertEqual(run.returncode, 0, run.stderr)
                run = self.cli("read", address, kind)
                self.assertEqual(run.returncode, 0, run.stderr)
                self.assertEqual(run.stdout.strip(), expected)

    def test_bcd_and_float_land_in_the_plc_words_as_encoded(self):
        self.assertEqual(self.cli("write", "DM200", "BCD16", "1234").returncode, 0)
        self.assertEqual(self.plc_get("DM200"), 0x1234)
        self.assertEqual(self.cli("write", "DM210", "Float", "1.5").returncode, 0)
        self.assertEqual(self.plc_get("DM210"), 0x0000)  # the low word first
        self.assertEqual(self.plc_get("DM211"), 0x3FC0)

    def test_refusals_exit_with_their_status(self):
        self.assertEqual(self.cli("read", "XX1", "Int16").returncode, 1)   # no such area
        self.assertEqual(self.cli("read", "DM1", "Int64").returncode, 2)   # no such type
        self.assertEqual(self.cli("write", "DM1", "Int16", "abc").returncode, 2)
        self.assertEqual(self.cli("write", "DM1", "BitForced", "1").returncode, 2)
        run = subprocess.run([CLI, "--port", "1", "cpu"], capture_output=True, text=True,
                             timeout=30)
        self.assertEqual(run.returncode, 1)
        self.assertIn("cannot connect", run.stderr)


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0], "-v"])
