#!/usr/bin/env python3
"""Writes the capture fuzzer's seeds into seeds/ beside this script: both datalinks, legacy and extended
advertising reports, the H4 form, packets that are no event, a capture cut short and bare advertising data."""

import pathlib
import struct

H4, MONITOR = 1002, 2001
T0 = 63_870_000_000_000_000  # microseconds since year 0, as btsnoop counts


def structure(kind, value):
    return bytes([len(value) + 1, kind]) + value


NAME = structure(0x09, b"Glasses")
SHORT = structure(0x08, b"Gl")
MAKER = structure(0xFF, bytes([0x8E, 0x05, 0x01]))
UUID16 = structure(0x03, bytes([0x5F, 0xFD, 0x0F, 0x18]))
UUID32 = structure(0x05, bytes([0x5F, 0xFD, 0x00, 0x00]))
UUID128 = structure(0x07, bytes(range(16)))
TX = structure(0x0A, bytes([0xF8]))
ADDRESS = bytes([0x01, 0xEE, 0xDD, 0xCC, 0xBB, 0xAA])


def legacy(reports):
    params = bytes([0x02, len(reports)])
    for kind, data, rssi in reports:
        params += bytes([kind, 0x01]) + ADDRESS + bytes([len(data)]) + data + bytes([rssi & 0xFF])
    return bytes([0x3E, len(params)]) + params


def extended(reports):
    params = bytes([0x0D, len(reports)])
    for kind, data, rssi in reports:
        params += struct.pack("<H", kind) + bytes([0x01]) + ADDRESS
        params += bytes([0x01, 0x00, 0xFF, 0x7F, rssi & 0xFF, 0x00, 0x00, 0x00]) + bytes(6) + bytes([len(data)])
        params += data
    return bytes([0x3E, len(params)]) + params


def capture(datalink, packets):
    out = b"btsnoop\0" + struct.pack(">II", 1, datalink)
    for i, (flags, packet) in enumerate(packets):
        out += struct.pack(">IIIIq", len(packet), len(packet), flags, 0, T0 + 1000 * i) + packet
    return out


def event(datalink, packet):
    return (3, b"\x04" + packet) if datalink == H4 else (3, packet)


def main():
    seeds = {
        "h4-legacy.btsnoop": capture(H4, [
            (1, b"\x02\x01\x20\x02\x00\xAA\xBB"),  # an ACL packet
            event(H4, bytes([0x0E, 0x04, 0x01, 0x0B, 0x20, 0x00])),  # a command complete
            event(H4, legacy([(0x00, NAME + MAKER + UUID16 + TX, -55), (0x04, SHORT, -60)])),
        ]),
        "h4-extended.btsnoop": capture(H4, [
            event(H4, extended([(0x0013, SHORT + UUID32 + UUID128, -70)])),
        ]),
        "monitor-legacy.btsnoop": capture(MONITOR, [
            (0x000C, b"note"),
            event(MONITOR, legacy([(0x03, MAKER, -80)])),
        ]),
        "monitor-extended.btsnoop": capture(MONITOR, [
            event(MONITOR, extended([(0x0010, NAME + TX, -40), (0x0012, UUID16, 127)])),
        ]),
        "monitor-cut.btsnoop": capture(MONITOR, [event(MONITOR, legacy([(0x00, NAME, -50)]))])[:-5],
        "advertising-data.bin": NAME + SHORT + MAKER + UUID16 + UUID32 + UUID128 + TX + b"\x00\x05",
    }
    folder = pathlib.Path(__file__).resolve().parent / "seeds"
    folder.mkdir(exist_ok=True)
    for name, data in seeds.items():
        (folder / name).write_bytes(data)


if __name__ == "__main__":
    main()
