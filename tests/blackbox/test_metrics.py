"""GET /metrics on the API port: the daemon's counters in the Prometheus
text format, scraped from the daemon running against both simulators and
read back by a strict parser of that format, so that a scrape Prometheus
would refuse fails here first."""

import http.client
import math
import re
import unittest

import harness as h

INT16, BIT_FORCED = 1, 18
PLC_TO_ROBOT, ROBOT_TO_PLC = 0, 1
CONTENT_TYPE = "text/plain; version=0.0.4"

# (robot register, PLC address, data type, direction); bin42 is a forced
# bit without its second register, so it is never good.
MAPPINGS = [("in3", "DM100", INT16, "plc_to_robot"),
            ("out1", "DM200", INT16, "robot_to_plc"),
            ("bin42", "W41.0", BIT_FORCED, "plc_to_robot")]
MAPPING_FAMILIES = ["fins_gateway_mapping_state",
                    "fins_gateway_mapping_seconds_since_good",
                    "fins_gateway_mapping_failed_cycles_total"]
# One sample each, without labels.
FAMILIES = ["fins_gateway_plc_connected", "fins_gateway_plc_connection_state",
            "fins_gateway_plc_reconnects_total", "fins_gateway_cycles_total",
            "fins_gateway_cycle_work_last_seconds",
            "fins_gateway_cycle_work_mean_seconds",
            "fins_gateway_fins_exchanges_total",
            "fins_gateway_fins_exchange_failures_total",
            "fins_gateway_fins_exchange_timeouts_total",
            "fins_gateway_robot_service_up", "fins_gateway_robot_calls_total",
            "fins_gateway_robot_call_failures_total",
            "fins_gateway_robot_call_timeouts_total"]

NAME = re.compile(r"[a-zA-Z_:][a-zA-Z0-9_:]*\Z")
# Name, label text, value, and an optional timestamp.
SAMPLE = re.compile(
    r"([a-zA-Z_:][a-zA-Z0-9_:]*)(?:\{(.*)\})? (\S+)(?: -?\d+)?\Z")
# A label whose value escapes backslash, double quote and line feed only.
LABEL = re.compile(
    r'([a-zA-Z_][a-zA-Z0-9_]*)="((?:[^"\\\n]|\\[\\"n])*)"(?:,|\Z)')
# Help text escapes backslash and line feed only.
HELP = re.compile(r"(?:[^\\]|\\[\\n])+\Z")
ESCAPE = re.compile(r"\\(.)")
VALUE = re.compile(r"[+-]?(\d+\.?\d*|\.\d+)([eE][+-]?\d+)?\Z|[+-]Inf\Z|NaN\Z")
TYPES = ("counter", "gauge", "histogram", "summary", "untyped")


def parse_labels(text, where):
    labels, at = {}, 0
    while at < len(text):
        match = LABEL.match(text, at)
        assert match, "bad label at %d, %s" % (at, where)
        assert match.group(1) not in labels, "label twice, " + where
        labels[match.group(1)] = ESCAPE.sub(
            lambda e: "\n" if e.group(1) == "n" else e.group(1),
            match.group(2))
        at = match.end()
    return frozenset(labels.items())


def parse(text):
    """{family: {"type", "samples": {frozenset of labels: value}}} of one
    text exposition; AssertionError at the first line Prometheus would
    refuse or that breaks its naming rules."""
    assert text.endswith("\n"), "the last line is not ended"
    families = {}
    current = None
    for number, line in enumerate(text[:-1].split("\n"), 1):
        where = "line %d: %r" % (number, line)
        if line.startswith("# HELP "):
            name, _, help_text = line[len("# HELP "):].partition(" ")
            assert NAME.match(name), "bad name, " + where
            assert name not in families, "family announced twice, " + where
            assert HELP.match(help_text), "bad help, " + where
            families[name] = {"type": None, "samples": {}}
            current = name
        elif line.startswith("# TYPE "):
            name, _, kind = line[len("# TYPE "):].partition(" ")
            assert name == current and families[name]["type"] is None, (
                "TYPE without its HELP just before, " + where)
            assert kind in TYPES, "bad type, " + where
            assert (kind == "counter") == name.endswith("_total"), (
                "_total names counters and only them, " + where)
            families[name]["type"] = kind
        else:
            match = SAMPLE.match(line)
            assert match, "not a sample, " + where
            name, label_text, value = match.groups()
            assert name == current, "sample outside its family, " + where
            assert families[name]["type"], "sample before TYPE, " + where
            assert VALUE.match(value), "bad value, " + where
            labels = parse_labels(label_text or "", where)
            samples = families[name]["samples"]
            assert labels not in samples, "series twice, " + where
            samples[labels] = float(value)
    return families


def request(method, path, headers=None):
    conn = http.client.HTTPConnection("127.0.0.1", h.GATEWAY_PORT,
                                      timeout=h.WAIT)
    try:
        conn.request(method, path, headers=headers or {})
        answer = conn.getresponse()
        # answer.msg looks header names up regardless of case.
        return answer.status, answer.msg, answer.read()
    finally:
        conn.close()


def scrape():
    status, headers, body = request("GET", "/metrics")
    assert status == 200, status
    assert headers["Content-Type"].startswith(CONTENT_TYPE), headers
    # Prometheus refuses a scrape that is not UTF-8.
    return parse(body.decode("utf-8"))


def only(families, name):
    samples = families[name]["samples"]
    assert list(samples) == [frozenset()], samples
    return samples[frozenset()]


def series(families, name, register):
    found = [v for labels, v in families[name]["samples"].items()
             if ("robot_register", register) in labels]
    assert len(found) == 1, found
    return found[0]


class MetricsTest(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        cls.exio = h.ExioSim()
        cls.addClassCleanup(cls.exio.stop)
        h.start_connected_gateway(cls)
        for register, address, data_type, direction in MAPPINGS:
            assert cls.gateway.rpc.addMapping(
                address, register, "", data_type,
                ROBOT_TO_PLC if direction == "robot_to_plc" else PLC_TO_ROBOT)
        h.wait_for(scrape, lambda f: all(
            series(f, "fins_gateway_mapping_state", r) == h.MAP_GOOD
            for r in ("in3", "out1")) and series(
                f, "fins_gateway_mapping_failed_cycles_total", "bin42") > 0,
            what="in3 and out1 good, bin42 failed")

    def test_scrape_is_prometheus_text_with_the_gateways_families(self):
        families = scrape()
        for name in FAMILIES:
            only(families, name)
        for name in families:
            self.assertTrue(name.startswith("fins_gateway_"), name)
        self.assertEqual(only(families, "fins_gateway_plc_connected"), 1)
        self.assertEqual(only(families, "fins_gateway_plc_connection_state"),
                         h.CONNECTED)
        self.assertEqual(only(families, "fins_gateway_robot_service_up"), 1)
        for name in ("fins_gateway_cycles_total",
                     "fins_gateway_fins_exchanges_total",
                     "fins_gateway_cycle_work_mean_seconds"):
            self.assertGreater(only(families, name), 0, name)
        info = {"plc_address": "127.0.0.1", "plc_port": str(self.plc.port),
                "transport": "TCP", "cpu_model": "CJ2M-CPU33", "family": "CJ"}
        self.assertEqual(families["fins_gateway_plc_info"]["samples"],
                         {frozenset(info.items()): 1})

    def test_counters_never_go_down(self):
        first = scrape()
        moving = ["fins_gateway_cycles_total",
                  "fins_gateway_fins_exchanges_total",
                  "fins_gateway_robot_calls_total"]
        second = h.wait_for(scrape, lambda f: all(
            only(f, n) != only(first, n) for n in moving),
            what="the cycle, FINS and robot counts to change")
        for name, family in first.items():
            if family["type"] == "counter":
                for labels, value in family["samples"].items():
                    self.assertGreaterEqual(second[name]["samples"][labels],
                                            value, (name, labels))

    def test_each_mapping_has_one_series_in_each_mapping_family(self):
        families = scrape()
        wanted = {frozenset({"robot_register": r, "plc_address": a,
                             "direction": d}.items())
                  for r, a, _, d in MAPPINGS}
        for name in MAPPING_FAMILIES:
            self.assertEqual(set(families[name]["samples"]), wanted, name)
        since = "fins_gateway_mapping_seconds_since_good"
        for register in ("in3", "out1"):
            self.assertTrue(math.isfinite(series(families, since, register)))
            self.assertGreaterEqual(series(families, since, register), 0)
        self.assertEqual(series(families, since, "bin42"), math.inf)
        self.assertEqual(series(families, "fins_gateway_mapping_state",
                                "bin42"), h.MAP_CLAIM_REFUSED)

    def test_only_get_is_answered_as_on_the_other_pages(self):
        browser_post = {"Origin": "http://cell-dashboard.example",
                        "Content-Type": "text/plain"}
        for method in ("POST", "PUT", "DELETE", "PATCH", "OPTIONS", "HEAD"):
            with self.subTest(method=method):
                status, headers, _ = request(method, "/metrics", browser_post)
                page_status, page_headers, _ = request(method, "/status.json",
                                                       browser_post)
                self.assertEqual(status, page_status)
                self.assertEqual(headers.get("Allow"),
                                 page_headers.get("Allow"))
                self.assertFalse([n for n in headers.keys()
                                  if n.lower().startswith("access-control-")])
        self.assertEqual(request("POST", "/metrics")[0], 405)
        self.assertEqual(self.gateway.rpc.getState(), h.CONNECTED)


class MetricsLabelTextTest(unittest.TestCase):
    """A PLC whose CPU model text holds what a label must escape and bytes
    that are not UTF-8."""

    MODEL = (b'CJ"\\\n' + b"\xc0\x80" + b"\xed\xa0\x80" +
             b"\xf4\x90\x80\x80" + b"\xe2\x82" + "\u00e9".encode())

    @classmethod
    def setUpClass(cls):
        cpu_data = bytearray(158)
        cpu_data[0:20] = cls.MODEL.ljust(20)
        cls.fake = h.FakePlc(cpu_data)
        cls.addClassCleanup(cls.fake.close)
        cls.gateway = h.Gateway()
        cls.addClassCleanup(cls.gateway.stop)
        cls.gateway.connect(cls.fake.port)

    def test_label_values_are_escaped_and_made_utf8(self):
        info = scrape()["fins_gateway_plc_info"]["samples"]
        self.assertEqual(len(info), 1)
        self.assertIn(("cpu_model", self.MODEL.decode("utf-8", "replace")),
                      next(iter(info)))


if __name__ == "__main__":
    unittest.main()
