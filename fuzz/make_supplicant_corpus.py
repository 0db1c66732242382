#!/usr/bin/env python3
"""Writes the seeds of the supplicant bridge's fuzz targets: received frames,
the association-information and scan-list readers, and the hex dump."""
import os
import struct

HERE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")
OWN = bytes.fromhex("001a2b3c4d5e")
AP = bytes.fromhex("001122334403")


def frame(ether_type, body, length=None):
    f = OWN + AP + struct.pack(">H", ether_type) + body
    return struct.pack("<I", len(f) if length is None else length) + f


def association(req, res, req_offset=40, res_offset=None):
    fixed = bytearray(40)
    struct.pack_into("<II", fixed, 16, len(req), req_offset)
    struct.pack_into("<II", fixed, 32, len(res), 40 + len(req) if res_offset is None else res_offset)
    return b"\0" + bytes(fixed) + req + res


def entry(bssid, ssid, ies, length=None):
    body = bytearray(116)
    struct.pack_into("<I", body, 12, len(ssid))
    body[4:10] = bssid
    body[16:16 + len(ssid)] = ssid
    ie_all = bytes(12) + ies
    struct.pack_into("<I", body, 112, len(ie_all))
    e = bytes(body) + ie_all
    e += b"\0" * (-len(e) % 4)
    return struct.pack("<I", len(e) if length is None else length) + e[4:]


def scan(ssid, entries, count=None):
    header = b"\x01" + AP + bytes([len(ssid)]) + ssid.ljust(32, b"\0")
    return header + struct.pack("<I", len(entries) if count is None else count) + b"".join(entries)


rsn = bytes.fromhex("30140100000fac040100000fac040100000fac020000")
seeds = {
    "received_frame": {
        "eapol": frame(0x888E, bytes.fromhex("0100000501010005 01".replace(" ", ""))),
        "preauth": frame(0x88C7, b"\x01\x01\x00\x00"),
        "header_only": frame(0x888E, b""),
        "ip": frame(0x0800, b"\x45\x00"),
        "length_past_record": frame(0x888E, b"\x01\x02", length=200),
    },
    "ie_readers": {
        "association": association(b"\x00\x03abc" + rsn, b"\x01\x02\x82\x84"),
        "association_offset_past": association(b"\x00\x01x", b"", req_offset=0xFFFFFFF0),
        "scan_match": scan(b"HalvexWPA2", [entry(AP, b"HalvexWPA2", rsn)]),
        "scan_second": scan(b"net", [entry(AP, b"other", rsn), entry(AP, b"net", b"\xdd\x01\x02")]),
        "scan_zero_length": scan(b"net", [entry(AP, b"x", b"", length=0), entry(AP, b"net", rsn)]),
    },
    "hex_dump": {
        "short": b"\x00\x1f\x20\x7f\x80\xff",
        "seventeen": bytes(range(17)),
        "long": bytes(range(256)) * 2,
    },
}
for target, files in seeds.items():
    os.makedirs(os.path.join(HERE, target), exist_ok=True)
    for name, data in files.items():
        with open(os.path.join(HERE, target, name), "wb") as f:
            f.write(data)
