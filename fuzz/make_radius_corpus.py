#!/usr/bin/env python3
"""Seeds for the eap_fragments and radius_codec fuzz targets: the packets an
authenticator and a RADIUS server send, whole and in fragments."""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def eap(code, ident, typ=None, data=b""):
    body = (bytes([typ]) + data) if typ is not None else b""
    return bytes([code, ident]) + struct.pack(">H", 4 + len(body)) + body


def packets(*items):
    """The eap_fragments target's input: each packet behind its length byte."""
    return b"".join(bytes([len(p)]) + p for p in items)


def attribute(kind, value):
    return bytes([kind, 2 + len(value)]) + value


def radius(code, ident, attributes):
    body = b"".join(attribute(k, v) for k, v in attributes)
    return bytes([code, ident]) + struct.pack(">H", 20 + len(body)) + b"\x11" * 16 + body


def vendor(kind, value):
    return struct.pack(">I", 311) + bytes([kind, 2 + len(value)]) + value


def avp(code, data, vendor_id=0):
    flags = 0x40 | (0x80 if vendor_id else 0)
    header = struct.pack(">I", code) + bytes([flags]) + struct.pack(">I", 8 + (4 if vendor_id else 0) + len(data))[1:]
    body = header + (struct.pack(">I", vendor_id) if vendor_id else b"") + data
    return body + b"\0" * (-len(body) % 4)


def main():
    tls = b"\x16\x03\x03" + b"\x42" * 100
    seeds = {
        "eap_fragments": {
            "fragments": packets(b"\xc0" + struct.pack(">I", 150) + tls[:60], b"\x40" + tls[60:100], b"\x00" + tls[100:]),
            "start": packets(b"\x20", b"\x80" + struct.pack(">I", 3) + b"abc"),
            "identity_and_leap": packets(eap(1, 1, 1), eap(1, 2, 17, b"\x01\x00\x08" + b"\x5a" * 8 + b"fuzz"),
                                         eap(3, 2), eap(2, 2, 17, b"\x01\x00\x18" + b"\x33" * 24 + b"fuzz")),
            "mschapv2": packets(b"\x01\x07\x00\x1a\x10" + b"\x21" * 16 + b"srv",
                                b"\x03\x07\x00\x2e" + b"S=" + b"0" * 40, b"\x03"),
            "tunnel": packets(avp(1, b"fuzz") + avp(26, b"\x07S=" + b"A" * 40, 311),
                              bytes.fromhex("800300020001"), eap(1, 9, 33, bytes.fromhex("800300020001")), b"\x1a\x01"),
        },
        "radius_codec": {
            "request": radius(1, 1, [(1, b"fuzz"), (79, eap(2, 1, 1, b"fuzz")), (80, b"\0" * 16),
                                     (30, b"00-11-22-33-44-05:HalvexCorp"), (61, b"\0\0\0\x13")]),
            "challenge": radius(11, 2, [(79, eap(1, 2, 17, b"\x01\x00\x08" + b"\x5a" * 8 + b"fuzz")), (24, b"state"),
                                        (80, b"\0" * 16)]),
            "accept": radius(2, 3, [(79, eap(3, 3)), (26, vendor(17, b"\x80\x01" + b"\x44" * 48)),
                                    (26, vendor(16, b"\x80\x02" + b"\x55" * 48)), (80, b"\0" * 16)]),
            "split_eap": radius(1, 4, [(79, b"\x02\x05\x01\x2c\x19" + b"\x66" * 248), (79, b"\x66" * 47), (80, b"\0" * 16)]),
            "reject": radius(3, 5, [(79, eap(4, 5))]),
        },
    }
    for target, files in seeds.items():
        out = os.path.join(HERE, "corpus", target)
        os.makedirs(out, exist_ok=True)
        for name, data in files.items():
            with open(os.path.join(out, name), "wb") as f:
                f.write(data)


if __name__ == "__main__":
    main()
