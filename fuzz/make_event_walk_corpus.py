#!/usr/bin/env python3
"""Writes the seed areas of the event-walk fuzz target into corpus/event_walk."""
import os
import struct

AREA = 16384
HERE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus", "event_walk")


def record(code, data=b"", next_offset=None):
    data = data + b"\0" * (-len(data) % 4)
    size = 8 + len(data)
    return struct.pack("<II", size if next_offset is None else next_offset, code) + data


def area(records, count=None):
    body = b"".join(records)
    return struct.pack("<I", len(records) if count is None else count) + body


reply = struct.pack("<25I", *range(25))
seeds = {
    "empty": area([]),
    "one_scan_done": area([record(6)]),
    "several": area([record(0), record(7, reply), record(5, b"\x01\x02\x03"), record(0x20000000)]),
    "last_next_zero": area([record(1), record(6, next_offset=0)]),
    "next_zero_first": area([record(1, next_offset=0), record(6)]),
    "count_overruns": area([record(6), record(5)], count=0xFFFFFFFF),
    "next_past_area": area([record(6, next_offset=AREA)]),
    "next_below_header": area([record(6, next_offset=4), record(5)]),
    "short_pending_reply": area([record(7, b"\x00" * 8)]),
    "full_area": area([record(6, b"\xAA" * (AREA - 4 - 8))]),
    "unaligned_next": area([record(5, b"\x00" * 8, next_offset=13), record(6)]),
}

os.makedirs(HERE, exist_ok=True)
for name, data in seeds.items():
    with open(os.path.join(HERE, name), "wb") as f:
        f.write(data[:AREA])
