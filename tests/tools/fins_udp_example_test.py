"""examples/fins_udp_read.py against fins-plc-sim, both as a user runs them: a third-party FINS/UDP
client writes and reads DM words, and the simulated PLC's own console sees the same memory."""

import os
import re
import subprocess
import sys
import unittest

EXAMPLE = os.environ["FINS_UDP_EXAMPLE"]
PLC_SIM = os.environ["FINS_PLC_SIM"]


class FinsUdpExampleTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        # Port 0: the simulator picks a port free for both TCP and UDP and names it.
        cls.sim = subprocess.Popen([PLC_SIM, "--port", "0"], stdin=subprocess.PIPE,
                                   stdout=subprocess.PIPE, text=True)
        line = cls.sim.stdout.readline()
        match = re.search(r"listening on 127\.0\.0\.1:(\d+) \(FINS/TCP and FINS/UDP\)", line)
        if not match:
            cls.sim.kill()
            raise RuntimeError("simulator did not start with UDP: %r" % line)
        cls.port = match.group(1)

    @classmethod
    def tearDownClass(cls):
        cls.sim.terminate()
        cls.sim.wait(timeout=10)

    def example(self, *args):
        # A generous reply time-out: a loaded machine, not the simulator, is what is slow here.
        return subprocess.run([sys.executable, EXAMPLE, "--port", self.port, "--timeout", "10",
                               *args], capture_output=True, text=True, timeout=60)

    def console(self, line):
        self.sim.stdin.write(line + "\n")
        self.sim.stdin.flush()
        return self.sim.stdout.readline()

    def test_writes_then_reads_dm_words(self):
        self.assertEqual(self.console("set DM501 0xBEEF").strip(), "ok")
        run = self.example("--write", "500=1234", "--start", "500", "--count", "2")
        self.assertEqual(run.returncode, 0, run.stderr)
        self.assertEqual(run.stdout.splitlines(),
                         ["DM500 <- 1234", "DM500 = 1234 (0x04D2)", "DM501 = 48879 (0xBEEF)"])
        self.assertTrue(self.console("get DM500").startswith("DM500 = 1234 "))

    def test_a_refused_read_prints_the_end_code(self):
        run = self.example("--start", "32767", "--count", "2")
        self.assertEqual(run.returncode, 1)
        self.assertIn("end code 0x1104", run.stderr)


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0], "-v"])
