"""The daemon's HTTP boundary: hostile or oversized request bodies are
answered and never end the daemon; idle connections cannot lock a new client
out; doubles travel through the API bit for bit."""

import http.client
import math
import random
import socket
import struct
import time
import unittest
import xmlrpc.client

import harness as h

# The daemon's request size limit (rpcwire::kMaxRequestBytes).
MAX_REQUEST_BYTES = 1024 * 1024
# A new client's wait for its first answer while idle connections hold the
# server's slots is bounded by the kept-alive idle time-out (5 s) plus the
# HTTP library's 2-second accept poll.
IDLE_LOCKOUT_BOUND = 7.0

CALL_HEAD = ("<?xml version=\"1.0\"?><methodCall><methodName>getState"
             "</methodName><params><param>")
CALL_TAIL = "</param></params></methodCall>"


def nested_arrays(levels):
    return (CALL_HEAD + "<value><array><data>" * levels + "<value><i4>1</i4>"
            "</value>" + "</data></array></value>" * levels + CALL_TAIL)


def nested_unknown(levels):
    return CALL_HEAD + "<x>" * levels + "</x>" * levels + CALL_TAIL


def unclosed(levels):
    return CALL_HEAD + "<value><array><data>" * (levels // 3)


def post(body, timeout=h.WAIT):
    """(HTTP status, response body) of one POST on a fresh connection."""
    conn = http.client.HTTPConnection("127.0.0.1", h.GATEWAY_PORT,
                                      timeout=timeout)
    try:
        conn.request("POST", "/RPC2", body.encode(),
                     {"Content-Type": "text/xml"})
        response = conn.getresponse()
        return response.status, response.read()
    finally:
        conn.close()


def status_of_announced(length):
    """The status line the daemon answers to a header announcing `length`
    body bytes, before any of them is sent."""
    with socket.create_connection(("127.0.0.1", h.GATEWAY_PORT),
                                  timeout=h.WAIT) as s:
        s.sendall(b"POST /RPC2 HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                  b"Content-Type: text/xml\r\nContent-Length: %d\r\n\r\n"
                  % length)
        answer = b""
        while b"\r\n" not in answer:
            chunk = s.recv(4096)
            if not chunk:
                break
            answer += chunk
        return answer.split(b"\r\n", 1)[0].decode(errors="replace")


def double_words(value):
    raw = struct.unpack("<Q", struct.pack("<d", value))[0]
    return [(raw >> (16 * i)) & 0xFFFF for i in range(4)]


def random_finite_double(rng):
    while True:
        value = struct.unpack("<d", struct.pack("<Q", rng.getrandbits(64)))[0]
        if math.isfinite(value):
            return value


class HostileBodyTest(unittest.TestCase):
    """One daemon, never connected to a PLC."""

    @classmethod
    def setUpClass(cls):
        cls.gateway = h.Gateway()
        cls.addClassCleanup(cls.gateway.stop)

    def assert_refused(self, body):
        status, answer = post(body)
        if status == 200:
            with self.assertRaises(xmlrpc.client.Fault):
                xmlrpc.client.loads(answer)
        else:
            self.assertGreaterEqual(status, 400)
            self.assertLess(status, 500)
        self.assert_serves()

    def assert_serves(self):
        with h.client() as rpc:
            self.assertEqual(rpc.getState(), h.DISCONNECTED)

    def test_deeply_nested_arrays_fault(self):
        for levels in (886, 20000):
            with self.subTest(levels=levels):
                self.assert_refused(nested_arrays(levels))

    def test_deeply_nested_unknown_elements_fault(self):
        for levels in (2658, 100000):
            with self.subTest(levels=levels):
                self.assert_refused(nested_unknown(levels))

    def test_truncated_body_of_unclosed_tags_faults(self):
        for levels in (2660, 120000):
            with self.subTest(levels=levels):
                self.assert_refused(unclosed(levels))

    def test_text_beyond_the_basic_plane_faults(self):
        for text in ("&#x1F600;", "\U0001F600", "&#xD800;"):
            with self.subTest(text=text):
                self.assert_refused(
                    CALL_HEAD + "<value><struct><member><name>" + text +
                    "</name><value>1</value></member></struct></value>" +
                    CALL_TAIL)

    def test_body_over_the_size_limit_is_refused_unread(self):
        self.assertIn(" 413 ", status_of_announced(MAX_REQUEST_BYTES + 1))
        self.assert_serves()
        self.assertIn(" 413 ", status_of_announced(10 ** 12))
        self.assert_serves()

    def test_body_of_exactly_the_size_limit_is_answered(self):
        call = CALL_HEAD.replace("<param>", "") + CALL_TAIL.replace(
            "</param>", "")
        body = call + " " * (MAX_REQUEST_BYTES - len(call))
        self.assertEqual(len(body), MAX_REQUEST_BYTES)
        status, answer = post(body)
        self.assertEqual(status, 200)
        self.assertEqual(xmlrpc.client.loads(answer)[0], (h.DISCONNECTED,))

    def test_idle_connections_do_not_lock_out_a_new_client(self):
        # Each holds its kept-alive connection open after one call, as an
        # idle user interface does.
        idle = []
        try:
            for _ in range(70):
                conn = http.client.HTTPConnection("127.0.0.1", h.GATEWAY_PORT,
                                                  timeout=h.WAIT)
                idle.append(conn)
                conn.request("POST", "/RPC2",
                             xmlrpc.client.dumps((), "getState").encode(),
                             {"Content-Type": "text/xml"})
                response = conn.getresponse()
                response.read()
                self.assertEqual(response.status, 200)
            start = time.monotonic()
            # Fails (by its time-out) only far beyond the documented bound.
            with h.client(timeout=3 * IDLE_LOCKOUT_BOUND) as another:
                self.assertEqual(another.getState(), h.DISCONNECTED)
            waited = time.monotonic() - start
            self.assertLess(waited, 3 * IDLE_LOCKOUT_BOUND)
        finally:
            for conn in idle:
                conn.close()


class DoubleRoundTripTest(unittest.TestCase):
    """One daemon connected to one simulated PLC."""

    @classmethod
    def setUpClass(cls):
        h.start_connected_gateway(cls)

    def test_doubles_are_written_and_read_back_bit_exact(self):
        rng = random.Random(20240611)
        values = [-0.15625, 123456789.125, 0.30000000000000004, -0.0,
                  5e-324, 1.7976931348623157e308]
        values += [random_finite_double(rng) for _ in range(10000)]
        batch = 100  # values per multicall, at DM4000, DM4004, ...
        with h.client() as rpc:
            for first in range(0, len(values), batch):
                chunk = values[first:first + batch]
                addresses = ["DM%d" % (4000 + 4 * i) for i in range(len(chunk))]
                writes = xmlrpc.client.MultiCall(rpc)
                for address, value in zip(addresses, chunk):
                    writes.memoryAreaWriteDouble(address, value)
                self.assertEqual(list(writes()), [0] * len(chunk))
                # The PLC's words, read as integers so that no double text is
                # involved, then the doubles read back.
                words = xmlrpc.client.MultiCall(rpc)
                for i in range(len(chunk)):
                    for w in range(4):
                        words.memoryAreaReadUint16("DM%d" % (4000 + 4 * i + w))
                held = [answer["value"] for answer in words()]
                reads = xmlrpc.client.MultiCall(rpc)
                for address in addresses:
                    reads.memoryAreaReadDouble(address)
                for i, (value, answer) in enumerate(zip(chunk, reads())):
                    self.assertEqual(held[4 * i:4 * i + 4], double_words(value),
                                     value.hex())
                    self.assertEqual(answer["state"], 0)
                    self.assertEqual(struct.pack("<d", answer["value"]),
                                     struct.pack("<d", value), value.hex())


if __name__ == "__main__":
    unittest.main()
