#!/usr/bin/env python3
"""Writes the seed inputs of the service_requests fuzz target: requests as a
client sends them after its hello (fuzz/corpus/service_requests)."""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
OUT = os.path.join(HERE, "corpus", "service_requests")
HKLM = 0xFFFFFFFF80000002


def message(kind, body=b""):
    return struct.pack("<IB", len(body) + 1, kind) + body


def text(t):
    b = t.encode()
    return struct.pack("<I", len(b)) + b


def optional(t):
    return b"\x00" if t is None else b"\x01" + text(t)


SEEDS = {
    "open_query_close": message(2, text("\\\\.\\HalvexDev0"))
    + message(4, struct.pack("<IIBI", 1, 0x00122400, 1, 12) + struct.pack("<I", 12) + bytes(12))
    + message(3, struct.pack("<I", 1)),
    "register_event": message(2, text("\\\\.\\HalvexDev0"))
    + message(4, struct.pack("<IIBI", 1, 0x00122480, 0, 0) + struct.pack("<I", 4) + b"\x00\x00\x00\x00"),
    "registry": message(6, struct.pack("<Q", HKLM) + optional("Software\\Fuzz") + struct.pack("<I", 0xF003F))
    + message(13, struct.pack("<Q", 1) + optional("v") + struct.pack("<IBI", 1, 1, 3) + text("abc") + b"\x00")
    + message(12, struct.pack("<Q", 1) + optional("v") + struct.pack("<III", 7, 0, 64))
    + message(11, struct.pack("<QIIIII", 1, 0, 31, 64, 0, 64))
    + message(10, struct.pack("<QIIIIII", HKLM, 0, 31, 64, 64, 0, 0))
    + message(7, struct.pack("<Q", 1)),
    "service": message(14) + message(16) + message(18) + message(19) + message(17, b"\x00"),
    "truncated": message(4, struct.pack("<II", 1, 0x00122400)),
}

os.makedirs(OUT, exist_ok=True)
for name, data in SEEDS.items():
    with open(os.path.join(OUT, name), "wb") as f:
        f.write(data)
