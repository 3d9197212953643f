"""One connect-map-read round through installed packages.

The daemon comes from one folder (the fins-gateway package's programs) and the
simulators and fins-cli from another (the fins-gateway-tools package's), so
that each package is shown to work without the other's files. Starts the PLC
simulator (port 9600) and the external IO simulator (its fixed port 9602),
checks fins-cli against the PLC simulator (it names the CPU and writes DM100),
then starts the daemon (fixed port 9601, as user nobody when run as root),
connects it to the PLC, maps DM100 to robot input register in1, waits until
the mapping reads good and reads DM100 back through the API. Must run where
ports 9601 and 9602 are free (scripts/isolated).

    python3 round.py <folder with fins-gateway> <folder with fins-plc-sim, exio-sim, fins-cli>
"""

import os
import shutil
import socket
import subprocess
import sys
import time
import xmlrpc.client

WAIT = 15.0
PLC_PORT = 9600
EXIO_PORT = 9602
GATEWAY_PORT = 9601
PLC_MODEL = "CJ2M-CPU33"  # the simulator's default
VALUE = 1234  # written into DM100 by fins-cli
NOBODY = 65534

CONNECTED = 4
MAPPING_GOOD = 0


def wait_for(what, condition):
    deadline = time.monotonic() + WAIT
    last = None
    while time.monotonic() < deadline:
        last = condition()
        if last:
            return last
        time.sleep(0.02)
    raise AssertionError("timed out waiting for %s (last: %r)" % (what, last))


def port_open(port):
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=0.5):
            return True
    except OSError:
        return False


def fins_cli(tools, *args):
    """Runs the installed fins-cli against the PLC simulator; answers its output."""
    run = subprocess.run([os.path.join(tools, "fins-cli"), "--port", str(PLC_PORT)] + list(args),
                         stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=WAIT)
    if run.returncode != 0:
        raise AssertionError("fins-cli %s ended with %d: %s"
                             % (" ".join(args), run.returncode, run.stdout + run.stderr))
    return run.stdout


def unprivileged(argv):
    """The daemon as the service runs it: with no privilege at all."""
    if os.geteuid() != 0:
        return argv
    if not shutil.which("setpriv"):
        raise AssertionError("running as root and no setpriv (util-linux) to drop privileges")
    return ["setpriv", "--reuid=%d" % NOBODY, "--regid=%d" % NOBODY, "--clear-groups",
            "--no-new-privs"] + argv


def main():
    daemon_dir, tools_dir = sys.argv[1:3]
    procs = []
    logs = {}

    def start(name, argv, **kwargs):
        log = open(os.path.join(os.environ.get("TMPDIR", "/tmp"),
                                "install-test-%s-%d.log" % (name, os.getpid())), "w+")
        logs[name] = log
        proc = subprocess.Popen(argv, stdout=log, stderr=subprocess.STDOUT, **kwargs)
        procs.append(proc)
        return proc

    try:
        start("plc", [os.path.join(tools_dir, "fins-plc-sim"), "--port", str(PLC_PORT)],
              stdin=subprocess.DEVNULL)
        start("exio", [os.path.join(tools_dir, "exio-sim"), "--port", str(EXIO_PORT)],
              stdin=subprocess.DEVNULL)
        wait_for("the PLC simulator", lambda: port_open(PLC_PORT))
        wait_for("the external IO simulator", lambda: port_open(EXIO_PORT))

        cpu = fins_cli(tools_dir, "cpu")
        if "model %s" % PLC_MODEL not in cpu.splitlines():
            raise AssertionError("fins-cli cpu did not name %s: %r" % (PLC_MODEL, cpu))
        fins_cli(tools_dir, "write", "DM100", "Int16", str(VALUE))
        print("fins-cli: cpu names %s, wrote DM100 = %d" % (PLC_MODEL, VALUE))

        gateway = start("gateway", unprivileged([os.path.join(daemon_dir, "fins-gateway")]),
                        stdin=subprocess.DEVNULL)
        wait_for("the gateway's API on port %d" % GATEWAY_PORT,
                 lambda: gateway.poll() is not None or port_open(GATEWAY_PORT))
        if gateway.poll() is not None:
            raise AssertionError("fins-gateway ended with status %d" % gateway.returncode)

        api = xmlrpc.client.ServerProxy("http://127.0.0.1:%d/RPC2" % GATEWAY_PORT)
        api.connect("127.0.0.1", PLC_PORT, 0, 0, 0, 0, 0, 0, 0)
        wait_for("the connected state", lambda: api.getState() == CONNECTED)
        print("connected")
        if api.addMapping("DM100", "in1", "", 1, 0) is not True:
            raise AssertionError("addMapping was refused")
        wait_for("the mapping to read good",
                 lambda: api.getMappingState("in1") == MAPPING_GOOD or None)
        print("mapped DM100 -> in1")
        answer = api.memoryAreaReadInt16("DM100")
        print("memoryAreaReadInt16(DM100) = %r" % (answer,))
        if answer != {"state": 0, "value": VALUE}:
            raise AssertionError("expected %r" % {"state": 0, "value": VALUE})
        if gateway.poll() is not None:
            raise AssertionError("fins-gateway ended with status %d" % gateway.returncode)
        return 0
    except Exception as error:  # report every failure the same way, with the logs
        print("round failed: %s" % error, file=sys.stderr)
        for name, log in logs.items():
            log.flush()
            log.seek(0)
            print("--- %s output (last lines)" % name, file=sys.stderr)
            print("".join(log.readlines()[-20:]), file=sys.stderr)
        return 1
    finally:
        for proc in reversed(procs):
            if proc.poll() is None:
                proc.terminate()
                try:
                    proc.wait(timeout=WAIT)
                except subprocess.TimeoutExpired:
                    proc.kill()
                    proc.wait()
        for log in logs.values():
            log.close()
            os.unlink(log.name)


if __name__ == "__main__":
    sys.exit(main())
