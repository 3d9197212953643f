"""Requests a web page can make a browser send to the gateway are refused
before anything is called, while XML-RPC clients that are not browsers keep
being served: a page open on the cell network must not write PLC memory."""

import http.client
import re
import time
import unittest
import xmlrpc.client

import harness as h

ADDRESS = "DM10"
HELD = 1234
CALL = xmlrpc.client.dumps((ADDRESS, 4321), "memoryAreaWriteInt16")
# An HTML form posted with enctype="text/plain" sends name=value: the call,
# then "=" hidden in a comment.
FORM_BODY = CALL.replace("</methodCall>", "</methodCall><!--=-->")
OTHER_SITE = "http://cell-dashboard.example"

# (what a browser does, headers, body)
BROWSER_SHAPES = [
    ("fetch as text/plain", {"Content-Type": "text/plain;charset=UTF-8",
                             "Origin": OTHER_SITE}, CALL),
    ("urlencoded form", {"Content-Type": "application/x-www-form-urlencoded",
                         "Origin": OTHER_SITE}, CALL),
    ("multipart form", {"Content-Type": "multipart/form-data; boundary=b",
                        "Origin": OTHER_SITE}, CALL),
    ("fetch of a Blob (no type)", {"Origin": OTHER_SITE}, CALL),
    ("text/plain form from a sandboxed page", {"Content-Type": "text/plain",
                                               "Origin": "null"}, FORM_BODY),
    ("text/xml from another site", {"Content-Type": "text/xml",
                                    "Origin": OTHER_SITE}, CALL),
    ("DNS rebinding", {"Host": "rebound.example:9601",
                       "Content-Type": "text/xml",
                       "Origin": "http://rebound.example:9601"}, CALL),
    ("text/plain without Origin", {"Content-Type": "Text/Plain"}, CALL),
]

WARNING = re.compile(r"\[WARNING\] - \[\s*Refused an API call from a web page")


def send(method, headers, body=""):
    """(status, headers, body) of one request with exactly these headers
    (plus Content-Length and, unless given, Host)."""
    conn = http.client.HTTPConnection("127.0.0.1", h.GATEWAY_PORT,
                                      timeout=h.WAIT)
    try:
        conn.putrequest(method, "/RPC2", skip_host="Host" in headers,
                        skip_accept_encoding=True)
        for name, value in headers.items():
            conn.putheader(name, value)
        data = body.encode()
        conn.putheader("Content-Length", str(len(data)))
        conn.endheaders(data)
        response = conn.getresponse()
        return response.status, response.getheaders(), response.read()
    finally:
        conn.close()


class BrowserRequestTest(unittest.TestCase):
    """One daemon connected to one simulated PLC."""

    @classmethod
    def setUpClass(cls):
        h.start_connected_gateway(cls)

    def setUp(self):
        self.plc.set(ADDRESS, HELD)

    def warnings(self):
        with open(self.gateway.log.name) as log:
            return len(WARNING.findall(log.read()))

    def refused_so_far(self):
        return self.gateway.rpc.getDiagnostics()["api"][
            "browserRequestsRefused"]

    def test_what_only_a_browser_sends_is_refused(self):
        before = self.refused_so_far()
        start = time.monotonic()
        for shape, headers, body in BROWSER_SHAPES:
            with self.subTest(shape=shape):
                status, _, text = send("POST", headers, body)
                self.assertEqual(status, 403)
                self.assertIn(b"web pages are refused", text)
                self.assertEqual(self.plc.word(ADDRESS), HELD)
        elapsed = time.monotonic() - start
        # A preflight is never answered with an allowance.
        status, headers, _ = send("OPTIONS", {
            "Origin": OTHER_SITE, "Access-Control-Request-Method": "POST",
            "Access-Control-Request-Headers": "content-type"})
        self.assertGreaterEqual(status, 400)
        self.assertFalse([n for n, _ in headers
                          if n.lower().startswith("access-control-")])
        self.assertEqual(self.refused_so_far() - before, len(BROWSER_SHAPES))
        # The log is told at once, then at most once per 10 s.
        records = h.wait_for(self.warnings, lambda n: n >= 1,
                             what="the refusal's record")
        self.assertLessEqual(records, 1 + int(elapsed // 10))
        with h.client() as rpc:
            self.assertEqual(rpc.getState(), h.CONNECTED)

    def test_clients_that_are_not_browsers_are_served(self):
        call = xmlrpc.client.dumps((ADDRESS, 99), "memoryAreaWriteInt16")
        shapes = [
            ("text/xml with parameters", {"Content-Type":
                                          'TEXT/XML; charset="utf-8"'}),
            ("no Content-Type", {}),
            ("a DNS name in Host", {"Host": "robot-7.plant:9601",
                                    "Content-Type": "text/xml"}),
        ]
        for value, (shape, headers) in enumerate(shapes, start=100):
            with self.subTest(shape=shape):
                status, _, text = send("POST", headers,
                                       call.replace(">99<", ">%d<" % value))
                self.assertEqual(status, 200)
                self.assertEqual(xmlrpc.client.loads(text)[0], (0,))
                self.assertEqual(self.plc.word(ADDRESS), value)
        with h.client() as rpc:  # Python's own client
            self.assertEqual(rpc.memoryAreaWriteInt16(ADDRESS, 7), 0)
        self.assertEqual(self.plc.word(ADDRESS), 7)


if __name__ == "__main__":
    unittest.main()
