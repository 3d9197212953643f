"""One connect-map-read round through an installed fins-gateway.

Starts the installed simulators (PLC on port 9600, external IO service on its
fixed port 9602) and the installed daemon (fixed port 9601) as user nobody,
then: "connect" to the PLC, wait for the connected state, map DM100 to robot
input register in1, wait until the mapping reads good, and read DM100 back.
Must run where ports 9601 and 9602 are free (scripts/isolated).

    python3 round.py <folder with fins-gateway, fins-plc-sim and exio-sim>
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
VALUE = 1234  # put in DM100 through the PLC simulator's console

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


def main():
    bindir = sys.argv[1]
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
        plc = start("plc", [os.path.join(bindir, "fins-plc-sim"), "--port", str(PLC_PORT)],
                    stdin=subprocess.PIPE, text=True)
        start("exio", [os.path.join(bindir, "exio-sim"), "--port", "9602"],
              stdin=subprocess.DEVNULL)
        wait_for("the PLC simulator", lambda: port_open(PLC_PORT))
        wait_for("the external IO simulator", lambda: port_open(9602))
        plc.stdin.write("set DM100 %d\n" % VALUE)
        plc.stdin.flush()

        # As the service would run it: no privilege at all.
        daemon = [os.path.join(bindir, "fins-gateway")]
        if os.geteuid() == 0 and shutil.which("setpriv"):
            daemon = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                      "--no-new-privs"] + daemon
        gateway = start("gateway", daemon, stdin=subprocess.DEVNULL)
        wait_for("the gateway's API on port 9601",
                 lambda: gateway.poll() is not None or port_open(9601))
        if gateway.poll() is not None:
            raise AssertionError("fins-gateway ended with status %d" % gateway.returncode)

        api = xmlrpc.client.ServerProxy("http://127.0.0.1:9601/RPC2")
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
