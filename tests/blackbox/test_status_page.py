"""The status page on the API port (GET / and /status.json) and the
getDiagnostics method, seen through a real browser (headless Chromium)
against the daemon and both simulators. Between the daemon and the PLC
simulator sits a relay that can hold back or delay the PLC's answers.

Set STATUS_PAGE_SCREENSHOT to a file name to keep a screenshot of the page.
"""

import html.parser
import http.client
import json
import os
import shutil
import socket
import subprocess
import tempfile
import threading
import time
import unittest

import harness as h

INT16, FLOAT, BIT = 1, 15, 17
PLC_TO_ROBOT, ROBOT_TO_PLC = 0, 1
BROWSER_WAIT = 90


class Relay:
    """Forwards FINS/TCP between the daemon and the PLC simulator; the PLC's
    answers can be delayed or dropped (a PLC gone silent)."""

    def __init__(self, plc_port):
        self._plc_port = plc_port
        self._listener = socket.socket()
        self._listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self._listener.bind(("127.0.0.1", 0))
        self._listener.listen(8)
        self.port = self._listener.getsockname()[1]
        self.delay = 0.0
        self.silent = False
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while True:
            try:
                down, _ = self._listener.accept()
            except OSError:
                return
            try:
                up = socket.create_connection(("127.0.0.1", self._plc_port))
            except OSError:
                down.close()
                continue
            threading.Thread(target=self._pump, args=(down, up, False),
                             daemon=True).start()
            threading.Thread(target=self._pump, args=(up, down, True),
                             daemon=True).start()

    def _pump(self, source, sink, answers):
        try:
            while True:
                data = source.recv(65536)
                if not data:
                    break
                if answers and self.silent:
                    continue
                if answers and self.delay:
                    time.sleep(self.delay)
                sink.sendall(data)
        except OSError:
            pass
        for s in (source, sink):
            try:
                s.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            s.close()

    def close(self):
        self._listener.close()


class Cells(html.parser.HTMLParser):
    """The text of every element with an id, and every mapping row's cells
    by class, from a rendered page."""

    def __init__(self):
        super().__init__()
        self.by_id = {}
        self.rows = {}  # row id -> {"class": ..., cell class -> text}
        self._open = []  # (tag, id, cell class)
        self._row = None

    def handle_starttag(self, tag, attrs):
        attrs = dict(attrs)
        if tag == "tr" and (attrs.get("id") or "").startswith("map-"):
            self._row = {"class": attrs.get("class") or ""}
            self.rows[attrs["id"]] = self._row
        cell = (attrs.get("class") or "").split(" ")[0] if tag == "td" else None
        self._open.append((tag, attrs.get("id"), cell))
        if attrs.get("id"):
            self.by_id[attrs["id"]] = ""
        if cell and self._row is not None:
            self._row[cell] = ""

    def handle_endtag(self, tag):
        while self._open:
            if self._open.pop()[0] == tag:
                break
        if tag == "tr":
            self._row = None

    def handle_data(self, data):
        for _, element_id, cell in self._open:
            if element_id:
                self.by_id[element_id] += data
            if cell and self._row is not None:
                self._row[cell] += data


def browser():
    for name in ("chromium", "chromium-browser"):
        path = shutil.which(name)
        if path:
            return path
    raise AssertionError("headless Chromium is needed for this test: "
                         "apt-get install -y chromium")


def render(url, screenshot=None):
    """The DOM Chromium renders for `url` (a screenshot too, if asked)."""
    with tempfile.TemporaryDirectory(prefix="status-page-") as profile:
        argv = [browser(), "--headless", "--no-sandbox", "--disable-gpu",
                "--disable-quic", "--no-first-run",
                "--disable-background-networking",
                "--disable-component-update", "--disable-sync",
                "--user-data-dir=" + profile]
        if screenshot:
            argv += ["--screenshot=" + screenshot, "--window-size=900,760",
                     "--hide-scrollbars", url]
        else:
            argv += ["--dump-dom", url]
        done = subprocess.run(argv, capture_output=True, text=True,
                              timeout=BROWSER_WAIT)
        if done.returncode != 0:
            raise AssertionError("chromium failed: %s" % done.stderr[-2000:])
        return done.stdout


def rendered_cells():
    cells = Cells()
    cells.feed(render("http://127.0.0.1:%d/" % h.GATEWAY_PORT))
    return cells


def http_get(path, method="GET"):
    conn = http.client.HTTPConnection("127.0.0.1", h.GATEWAY_PORT, timeout=10)
    try:
        conn.request(method, path)
        answer = conn.getresponse()
        return answer.status, answer.read()
    finally:
        conn.close()


def status():
    code, body = http_get("/status.json")
    assert code == 200, code
    return json.loads(body)


def mapping(report, name):
    return next(m for m in report["mappings"] if m["name"] == name)


class StatusPageTest(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        browser()  # no browser, no test: fail before starting anything
        # Stopped in reverse order, also when a later step fails.
        cls.exio = h.ExioSim()
        cls.addClassCleanup(cls.exio.stop)
        cls.plc = h.PlcSim()
        cls.addClassCleanup(cls.plc.stop)
        cls.relay = Relay(cls.plc.port)
        cls.addClassCleanup(cls.relay.close)
        cls.gateway = h.Gateway()
        cls.addClassCleanup(cls.gateway.stop)
        cls.gateway.connect(cls.relay.port)
        rpc = cls.gateway.rpc
        assert rpc.addMapping("DM100", "in1", "", INT16, PLC_TO_ROBOT)
        assert rpc.addMapping("DM102", "din2", "", FLOAT, PLC_TO_ROBOT)
        assert rpc.addMapping("DM200", "out1", "", INT16, ROBOT_TO_PLC)
        assert rpc.addMapping("W20.0", "bout3", "", BIT, ROBOT_TO_PLC)

    def setUp(self):
        self.relay.delay = 0.0
        self.relay.silent = False
        self.rpc = h.client()
        self.addCleanup(self.rpc("close"))
        self.plc.set("DM100", 1234)
        self.plc.set_words("DM", 102, [0x0000, 0x3FC0])  # 1.5 as a float
        self.exio.set_output("int", 1, 77)
        self.exio.set_output("bool", 3, True)
        h.wait_for(status, lambda r: all(
            m["state"] == h.MAP_GOOD and not m["stale"] for m in r["mappings"])
            and mapping(r, "in1")["value"] == 1234
            and mapping(r, "din2")["value"] == 1.5
            and mapping(r, "bout3")["value"] is True,
            what="every mapping good with the simulators' values")
        h.wait_for(lambda: self.plc.word("DM200"), lambda v: v == 77,
                   what="DM200 written from the robot")

    def test_page_shows_mappings_with_their_values(self):
        cells = rendered_cells()
        rows = cells.rows
        self.assertEqual(rows["map-in1-0"]["value"], "1234")
        self.assertEqual(rows["map-din2-0"]["value"], "1.5")
        self.assertEqual(rows["map-bout3-1"]["value"], "1")
        self.assertIn("good (0)", rows["map-out1-1"]["state"])
        for row in rows.values():
            self.assertIn("good (0)", row["state"])
            self.assertNotIn("stale", row["class"])
        self.assertIn("connected (4)", cells.by_id["conn-state"])
        self.assertIn("CJ2M-CPU33", cells.by_id["conn-model"])
        self.assertIn("running", cells.by_id["robot-running"])
        page = http_get("/")[1].decode()
        for cell in ("<td>Int16</td>", "<td>Float</td>", "<td>Bit</td>"):
            self.assertIn(cell, page)
        shot = os.environ.get("STATUS_PAGE_SCREENSHOT")
        if shot:
            render("http://127.0.0.1:%d/" % h.GATEWAY_PORT, screenshot=shot)

    def test_diagnostics_members_are_plausible(self):
        report = self.rpc.getDiagnostics()
        link = report["connection"]
        self.assertEqual((link["state"], link["plcAddress"], link["plcPort"]),
                         (h.CONNECTED, "127.0.0.1", self.relay.port))
        self.assertEqual((link["cpuModel"], link["family"]), ("CJ2M-CPU33", "CJ"))
        self.assertGreater(link["connectedSince"], time.time() - 3600)
        self.assertGreater(report["cycle"]["cycles"], 0)
        self.assertGreater(report["cycle"]["perSecond"], 1)
        self.assertGreater(report["cycle"]["maxMs"], 0)
        self.assertGreater(report["fins"]["exchanges"], 0)
        self.assertGreater(report["fins"]["meanMs"], 0)
        self.assertTrue(report["robot"]["running"])
        self.assertGreater(report["robot"]["calls"], 0)
        self.assertIs(report["robot"]["multicall"], True)
        self.assertEqual(link["transport"], "TCP")
        names = {m["name"]: m for m in report["mappings"]}
        self.assertEqual(sorted(names), ["bout3", "din2", "in1", "out1"])
        self.assertEqual((names["in1"]["address"], names["in1"]["type"],
                          names["in1"]["direction"]), ("DM100", INT16, 0))
        self.assertEqual(names["din2"]["value"], 1.5)
        self.assertLess(names["in1"]["msSinceGood"], 1000)
        self.assertIn("getDiagnostics", self.rpc.system.listMethods())

    def test_other_paths_and_methods(self):
        self.assertEqual(http_get("/nothing-here")[0], 404)
        self.assertEqual(http_get("/", method="POST")[0], 405)
        self.assertEqual(http_get("/RPC2")[0], 405)
        self.assertEqual(self.rpc.getState(), h.CONNECTED)

    def test_silent_plc_marks_mappings_stale(self):
        self.relay.silent = True
        report = h.wait_for(status, lambda r: mapping(r, "in1")["stale"],
                            what="in1 stale")
        self.assertGreater(mapping(report, "in1")["msSinceGood"], 1000)
        row = rendered_cells().rows["map-in1-0"]
        self.assertIn("stale", row["class"])
        self.assertIn("stale", row["last"])
        # Silent until the exchange under way has waited out its time-out:
        # a PLC that answers late within it is not a time-out.
        report = h.wait_for(status, lambda r: r["fins"]["timeouts"] > 0,
                            what="a FINS time-out counted")
        # One timed-out exchange need not cost the link (that takes two in a
        # row), so the failure shows in the FINS counts, not as a lost link.
        self.assertTrue(report["fins"]["failuresByCode"])
        self.relay.silent = False
        h.wait_for(status, lambda r: not mapping(r, "in1")["stale"],
                   what="in1 fresh again")

    def test_slow_plc_shows_in_cycle_work(self):
        self.relay.delay = 0.3
        h.wait_for(status, lambda r: r["cycle"]["lastMs"] >= 250,
                   what="a cycle slowed by the PLC")
        cells = rendered_cells()
        last_ms = float(cells.by_id["cycle-mean"].split("/")[0])
        self.assertGreaterEqual(last_ms, 250)


if __name__ == "__main__":
    unittest.main()
