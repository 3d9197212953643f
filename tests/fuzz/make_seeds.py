#!/usr/bin/env python3
"""Writes the seed inputs of the FINS harnesses into corpus/<harness>/: valid answers of a PLC
and valid address texts and BCD values, from which libFuzzer mutates. Run it again after a change
of a harness's input layout; the seeds are committed so that a fuzzing run needs nothing else.

    tests/fuzz/make_seeds.py [corpus folder]
"""
import os
import struct
import sys

CLIENT_NODE, SERVER_NODE = 20, 10  # the nodes the seed handshake hands out
MULTI_READ_MAX_ITEMS, WRITE_MAX_WORDS = 24, 267
# Response bytes per item (area code + data) by data type code; 0 is skipped by the library.
ITEM_RESPONSE = {0: 0, 1: 3, 2: 6, 3: 3, 4: 6, 5: 3, 6: 6, 7: 3, 8: 3, 9: 3, 10: 3, 11: 6, 12: 6,
                 13: 6, 14: 6, 15: 6, 16: 12, 17: 2, 18: 2, 19: 5}


def tcp(frame, command=2, error=0):
    return b"FINS" + struct.pack(">III", 8 + len(frame), command, error) + frame


def handshake(command=1, error=0):
    return b"FINS" + struct.pack(">IIIII", 16, command, error, CLIENT_NODE, SERVER_NODE)


def response(sid, mrc, src, end_code=0, data=b""):
    header = bytes([0xC0, 0, 2, 0, CLIENT_NODE, 0, 0, SERVER_NODE, 0, sid, mrc, src])
    return tcp(header + struct.pack(">H", end_code) + data)


def read_responses(sid, count, first_type, end_code=0):
    """The answers to a multiple memory area read of the harness's items; returns (bytes, sid)."""
    n = 1 + count % (2 * MULTI_READ_MAX_ITEMS)
    out = b""
    for start in range(0, n, MULTI_READ_MAX_ITEMS):
        data = b""
        for i in range(start, min(n, start + MULTI_READ_MAX_ITEMS)):
            size = ITEM_RESPONSE[(first_type + i) % 20]
            if size:
                data += bytes([0x82]) + bytes((i * 7 + k) & 0xFF for k in range(size - 1))
        out += response(sid, 0x01, 0x04, end_code, data)
        sid += 1
    return out, sid


def write_responses(sid, count):
    words = 1 + count * 3
    out = b""
    for _ in range(0, words, WRITE_MAX_WORDS):
        out += response(sid, 0x01, 0x02)
        sid += 1
    return out, sid


def cpu_response(sid, model=b"CJ2M-CPU33", extra=b""):
    data = model.ljust(20, b" ") + b"02.01".ljust(20, b" ")
    data += bytes([0x05, 0x03]) + bytes(38)  # DIP switch, largest EM bank, rest of the block
    data += struct.pack(">HBHBB", 60, 23, 32768, 8, 25) + bytes(2)
    data += bytes([4]) + struct.pack(">H", 128)
    data += b"".join(struct.pack(">H", (0x80 if i % 3 == 0 else 0) << 8 | i) for i in range(16))
    data += bytes(156 - len(data)) + bytes([1, 3]) + extra
    assert len(data) == 158 + len(extra)
    return response(sid, 0x05, 0x01, 0, data), sid + 1


def fins_response_seeds():
    seeds = {}
    for count, first in ((0, 1), (5, 13), (23, 0), (30, 7), (47, 16)):
        body, _ = read_responses(0, count, first)
        seeds[f"read-{count + 1}-items-from-type-{first}"] = bytes([0, count, first]) + handshake() + body
    body, _ = read_responses(0, 3, 17, end_code=0x0401)
    off = 3 << 3  # error counting off: the seeds that fail show the library's own code
    seeds["read-plc-end-code"] = bytes([off, 3, 17]) + handshake() + body
    body, _ = read_responses(0, 9, 2)
    seeds["read-cv-family"] = bytes([4, 9, 2]) + handshake() + body
    for count in (0, 100, 200):
        body, _ = write_responses(0, count)
        seeds[f"write-{1 + count * 3}-words"] = bytes([1, count, 0]) + handshake() + body
    body, _ = cpu_response(0)
    seeds["cpu-unit-data"] = bytes([2, 0, 0]) + handshake() + body
    body, _ = cpu_response(0, b"CV1000-CPU01", b"\x00")
    seeds["cpu-unit-data-long-form-cv"] = bytes([2, 0, 0]) + handshake() + body
    sid = 0
    cpu, sid = cpu_response(sid)
    read, sid = read_responses(sid, 12, 1)
    write, sid = write_responses(sid, 10)
    seeds["all-three-error-limit-1"] = bytes([3 | 1 << 3, 12, 1]) + handshake() + cpu + read + write
    seeds["all-three-counting-off"] = bytes([3 | 3 << 3, 12, 1]) + handshake() + cpu + read + write
    seeds["handshake-refused"] = bytes([off, 0, 1]) + handshake(command=3, error=0x20)
    seeds["tcp-error-instead-of-response"] = bytes([2 | off, 0, 0]) + handshake() + tcp(b"", 3, 0x02)
    foreign = response(7, 0x01, 0x04, 0, bytes([0x82, 1, 2]))
    seeds["foreign-response"] = bytes([off, 0, 1]) + handshake() + foreign
    return seeds


def address_bcd_seeds():
    seeds = {}
    values = {"small": 42, "neg": -1999, "edge": 99999999}
    for type_index in range(10):
        for name, v in values.items():
            seeds[f"encode-type{5 + type_index}-{name}"] = bytes([0, type_index]) + struct.pack(">i", v)
    patterns = {"plain": 0x1234, "sign-f": 0xF123, "sign-a": 0xA999, "wide": 0x89999999}
    for type_index in range(10):
        for name, raw in patterns.items():
            seeds[f"decode-type{5 + type_index}-{name}"] = bytes([1, type_index]) + struct.pack(">I", raw)
    seeds["encode-other-code"] = bytes([0, 220]) + struct.pack(">i", 12345678)
    texts = ["DM100", "cio 10.05", "W3.15", "A448", "TIM0.1", "CNT4095", "H511.", "E0_100", "E12_32767",
             "E3_5.7", "C1M_0", "C22_0", "CER0", "ON0", "EM0", "IR15", "DR2", " \tdm 0", "4095", "E7_0",
             "TK31", "TKS0", "DM32767.15", "DM4294967295"]
    for i, text in enumerate(texts):
        seeds[f"text-{i:02d}"] = bytes([2]) + text.encode()
    seeds["raw-dm"] = bytes([3]) + b"DM\0\0" + struct.pack("<II", 100, 0)
    seeds["raw-unterminated"] = bytes([3]) + b"E10X" + struct.pack("<II", 5, 3)
    return seeds


TYPES = ["Int16", "Int32", "Uint16", "Uint32", "BCD16", "BCD32", "SBCD16_0", "SBCD16_1", "SBCD16_2",
         "SBCD16_3", "SBCD32_0", "SBCD32_1", "SBCD32_2", "SBCD32_3", "Float", "Double", "Bit",
         "BitForced", "WordForced"]


def call(method, *params):
    """A <methodCall> of params given as (XML-RPC type, text) pairs or ready <value> texts."""
    body = "".join(f"<param><value><{t}>{v}</{t}></value></param>" for t, v in params)
    return (f"<?xml version='1.0'?>\n<methodCall><methodName>{method}</methodName>"
            f"<params>{body}</params></methodCall>\n").encode()


def api_request_seeds():
    s = lambda v: ("string", v)
    i = lambda v: ("int", v)
    # The connect seed names a loopback port where nothing listens: no traffic leaves the machine.
    seeds = {
        "connect": call("connect", s("127.0.0.1"), i(9), i(0), i(0), i(0), i(0), i(0), i(0), i(0)),
        "disconnect": call("disconnect"),
        "getState": call("getState"),
        "PLCModeGet": call("PLCModeGet"),
        "PLCModeSet": call("PLCModeSet", s("CJ")),
        "CPUUnitDataRead": call("CPUUnitDataRead"),
        "addMapping": call("addMapping", s("DM100"), s("in1"), s(""), i(1), i(0)),
        "removeMapping": call("removeMapping", s("in1")),
        "getMappingState": call("getMappingState", s("in1")),
        "getMappingDirection": call("getMappingDirection", s("out1")),
        "getMappingTable": call("getMappingTable"),
        "listMethods": call("system.listMethods"),
        "wrong-type": call("getMappingState", i(5)),
        "unknown-method": call("getstate"),
        "i4-and-double": call("memoryAreaWriteDouble", s("DM10"), ("double", "-0.15625")),
        "no-params": b"<?xml version='1.0'?><methodCall><methodName>getState</methodName></methodCall>",
        "untyped-string": b"<methodCall><methodName>PLCModeSet</methodName><params><param><value>CS"
                          b"</value></param></params></methodCall>",
        "entities": call("getMappingState", s("in&amp;1&#x41;&lt;")),
        "deep-arrays": b"<methodCall><methodName>getState</methodName><params><param><value>"
                       + b"<array><data><value>" * 30 + b"<i4>1</i4>" + b"</value></data></array>" * 30
                       + b"</value></param></params></methodCall>",
        "unclosed": b"<methodCall><methodName>getState</methodName><params>" + b"<param><value>" * 40,
        "multicall": b"<methodCall><methodName>system.multicall</methodName><params><param><value>"
                     b"<array><data><value><struct><member><name>methodName</name><value>getState"
                     b"</value></member><member><name>params</name><value><array><data></data>"
                     b"</array></value></member></struct></value></data></array></value></param>"
                     b"</params></methodCall>",
    }
    for t in TYPES:
        seeds[f"read{t}"] = call(f"memoryAreaRead{t}", s("W10.3" if t.startswith("Bit") else "DM100"))
    values = {"Float": ("double", "1.5"), "Double": ("double", "2.25"), "Bit": ("boolean", "1")}
    for t in TYPES:
        if t.endswith("Forced"):
            continue
        seeds[f"write{t}"] = call(f"memoryAreaWrite{t}", s("W10.3" if t == "Bit" else "DM100"),
                                  values.get(t, ("int", "-1234")))
    return seeds


def http(body, status="200 OK", version="1.1", headers=None):
    lines = [f"HTTP/{version} {status}", "Content-Type: text/xml"]
    lines += headers if headers is not None else [f"Content-Length: {len(body)}"]
    return ("\r\n".join(lines) + "\r\n\r\n").encode() + body


def answer(value):
    return (f'<?xml version="1.0"?>\r\n<methodResponse><params><param><value>{value}</value></param>'
            f'</params></methodResponse>\r\n').encode()


def exio_answer_seeds():
    fault = (b'<?xml version="1.0"?><methodResponse><fault><value><struct><member><name>faultCode</name>'
             b'<value><int>-501</int></value></member><member><name>faultString</name><value><string>no'
             b'</string></value></member></struct></value></fault></methodResponse>')
    # Byte 0 picks the call: 0 bool, 1 int, 2 double, 3 and 4 writes, 5 claim, 6 liveness probe.
    seeds = {
        "bool": bytes([0]) + http(answer("<boolean>1</boolean>")),
        "int": bytes([1]) + http(answer("<i4>-17</i4>")),
        "int-keep-alive": bytes([1]) + http(answer("<int>5</int>"), headers=[
            "Connection: keep-alive", f"Content-Length: {len(answer('<int>5</int>'))}"]),
        "double": bytes([2]) + http(answer("<double>-0.15625</double>")),
        "write-int": bytes([3]) + http(answer("<boolean>1</boolean>")),
        "write-double-refused": bytes([4]) + http(answer("<boolean>0</boolean>")),
        "claim": bytes([5]) + http(answer("<boolean>1</boolean>")),
        "probe-http10": bytes([6]) + http(answer("<boolean>0</boolean>"), version="1.0"),
        "fault": bytes([1]) + http(fault),
        "wrong-type": bytes([1]) + http(answer("<string>5</string>")),
        "not-found": bytes([1]) + http(b"", status="404 Not Found"),
        "chunked": bytes([2]) + http(b"", headers=["Transfer-Encoding: chunked"]) + b"5\r\nhello\r\n0\r\n\r\n",
        "folded-header": bytes([0]) + b"HTTP/1.1 200 OK\r\nContent-Type: text/xml\r\n  folded\r\n"
                         b"Content-Length: 0\r\n\r\n",
        "short-body": bytes([1]) + http(answer("<i4>1</i4>"), headers=["Content-Length: 9999"]),
    }
    return seeds


def multicall_answer_seeds():
    def doc(*elements):
        body = "".join(f"<value><array><data><value>{e}</value></data></array></value>" for e in elements)
        return (f'<?xml version="1.0"?>\r\n<methodResponse><params><param><value><array><data>{body}'
                f'</data></array></value></param></params></methodResponse>\r\n').encode()
    fault = ("<struct><member><name>faultCode</name><value><int>-501</int></value></member><member>"
             "<name>faultString</name><value><string>no</string></value></member></struct>")
    # Byte 0 is the number of calls answered.
    return {
        "writes": bytes([3]) + doc("<boolean>1</boolean>", "<boolean>0</boolean>", "<boolean>1</boolean>"),
        "reads": bytes([4]) + doc("<i4>-7</i4>", "<int> 12 </int>", "<double>5e-324</double>", "<boolean>1</boolean>"),
        "strings": bytes([2]) + doc("plain &amp; text", "<string/>"),
        "fault-element": bytes([2]) + doc("<i4>1</i4>", fault),
        "i8": bytes([1]) + doc("<i8>1</i8>"),
        "empty": bytes([0]) + doc(),
        "wrong-count": bytes([5]) + doc("<i4>1</i4>"),
        # Found by this harness: the general reader refuses a document that is not UTF-8 as a whole.
        "not-utf8": bytes([1]) + doc("<i4>1</i4>").replace(b"<i4>", b"\xfe<i4>"),
    }


def main():
    root = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "corpus")
    for harness, seeds in (("fuzz_fins_response", fins_response_seeds()),
                           ("fuzz_address_bcd", address_bcd_seeds()),
                           ("fuzz_api_request", api_request_seeds()),
                           ("fuzz_exio_answer", exio_answer_seeds()),
                           ("fuzz_multicall_answer", multicall_answer_seeds())):
        folder = os.path.join(root, harness)
        os.makedirs(folder, exist_ok=True)
        for name, data in seeds.items():
            with open(os.path.join(folder, name), "wb") as f:
                f.write(data)
        print(f"{folder}: {len(seeds)} seeds")


if __name__ == "__main__":
    main()
