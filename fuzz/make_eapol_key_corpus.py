#!/usr/bin/env python3
"""Seeds for the eapol_key fuzz target: EAPOL-Key frames an access point
sends (message 1, message 3, group message 1) and a few broken ones."""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
OUT = os.path.join(HERE, "corpus", "eapol_key")
RSN = bytes.fromhex("30140100000fac040100000fac040100000fac020000")


def key_frame(info, counter, nonce=b"\0" * 32, rsc=b"\0" * 8, mic=b"\0" * 16, data=b"", key_length=16):
    body = (bytes([2]) + struct.pack(">HHQ", info, key_length, counter) + nonce + b"\0" * 16 + rsc +
            b"\0" * 8 + mic + struct.pack(">H", len(data)) + data)
    return bytes([2, 3]) + struct.pack(">H", len(body)) + body


def main():
    os.makedirs(OUT, exist_ok=True)
    seeds = {
        "message1": key_frame(0x008A, 1, nonce=b"\xa5" * 32),
        "message3": key_frame(0x13CA, 2, nonce=b"\xa5" * 32, rsc=b"\x2a" + b"\0" * 7, mic=b"\x11" * 16,
                              data=b"\x5c" * 56),
        "group_message1": key_frame(0x1382, 3, mic=b"\x22" * 16, data=b"\x6d" * 32, key_length=0),
        "key_data_past_body": key_frame(0x008A, 1)[:-2] + b"\x00\x40",
        "key_data_plain": RSN + bytes.fromhex("dd16000fac010100") + b"\x5a" * 16 + b"\xdd\x00",
        "header_only": bytes([2, 3, 0, 0]),
    }
    for name, data in seeds.items():
        with open(os.path.join(OUT, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
