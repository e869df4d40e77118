"""The Python binding against pelvane-sim (FeliCa and Type B cards), one table of calls.
    binding_test.py DEVICE     (the simulator's pseudo-terminal; libpelvane.so by PELVANE_LIBRARY)
Prints one line per call and exits with the number of calls that went wrong."""
import sys

import pelvane

IDM = "01 2E 4C 10 00 00 00 01"
# packet, result, status (None: no response written), data
COMMANDS = [
    ("07 10 10 0A 00 00 00", 0, 0x00, "32 01"),  # FeliCa mode: IC and firmware version
    ("05 20 FF FF 00", 0, 0x00, IDM),             # polling: the IDm
    ("04 20 FF FF", 2, 0xFD, ""),                 # LEN refused
    ("02 E0", 2, 0xFC, ""),                       # command byte not listed
    ("03 32 00", 1, None, ""),                    # MIFARE write in FeliCa mode: no response
    ("07 10 30 05 00 00 00", 0, 0x00, "32 01"),   # Type A mode, 0.5 s
    ("05 20 FF FF 00", 0, 0xFE, ""),              # no Type A card: time-out
]


def main(device):
    failures = 0

    def check(what, good):
        nonlocal failures
        print("%-40s %s" % (what, "ok" if good else "WRONG"))
        failures += 0 if good else 1

    pelvane.set_port_device(1, device)
    with pelvane.Reader.open(1) as reader:
        for packet, result, status, data in COMMANDS:
            r = reader.command(bytes.fromhex(packet))
            check("%s -> %s" % (packet, r), (r.result, r.status, r.data) == (result, status, bytes.fromhex(data)))
    try:
        pelvane.Reader.open(2).close()
        check("RF_OPEN of a missing port raises", False)
    except pelvane.PelvaneError as e:
        check("RF_OPEN(2) -> %s" % e, e.result == 1 and e.lines[0].startswith("open: /dev/ttyUSB1: open failed, error 2"))
    with pelvane.Reader.open_type_b(1) as card:
        got = (card.open_result, card.activate(), card.sense(), card.transmit(bytes.fromhex("00 A4 04 00 00")),
               card.deactivate(), card.sense())
        check("RW_ session -> %r" % (got,), got == (0, 0, 0x8200, (0, b"\x90\x00"), 0, 0))
    print("%d calls wrong" % failures)
    return failures


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
