"""The Python binding against pelvane-sim (FeliCa and Type B cards), one table of calls
that reaches every public function.
    binding_test.py DEVICE     (the simulator's pseudo-terminal; the library as pelvane.load finds it)
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

    lib = pelvane.load()
    check("load() returns the one library", pelvane.load() is lib)
    for port, path in ((0, device), (257, device), (1, "/dev/" + "x" * 255)):
        try:
            pelvane.set_port_device(port, path)
            check("set_port_device(%d, %d characters) raises" % (port, len(path)), False)
        except ValueError as e:
            check("set_port_device(%d, %d characters) -> %s" % (port, len(path), e), "259" in str(e))
    pelvane.set_port_device(1, "/dev/" + "x" * 254)  # 259 characters are taken
    pelvane.set_port_device(1, device)
    lines = []
    pelvane.set_trace_sink(lines.append)  # returns (it took the loading lock twice before)
    with pelvane.Reader.open(1) as reader:
        for packet, result, status, data in COMMANDS:
            r = reader.command(bytes.fromhex(packet))
            check("%s -> %s" % (packet, r), (r.result, r.status, r.data) == (result, status, bytes.fromhex(data)))
            if packet == "07 10 10 0A 00 00 00":
                check("Response.ok of a done command", r.ok and r.packet == bytes.fromhex("05 10 00 32 01"))
                pelvane.set_trace_sink(None)
        check("Response.ok of a refused one", not r.ok)
    check("trace sink: %d lines, then none after set_trace_sink(None)" % len(lines),
          lines[-2:] == [b"commandProc:0710100A000000\n", b"APP Return 0510003201\n"])
    try:
        pelvane.Reader.open(2).close()
        check("RF_OPEN of a missing port raises", False)
    except pelvane.PelvaneError as e:
        check("RF_OPEN(2) -> %s" % e, e.result == 1 and e.lines[0].startswith("open: /dev/ttyUSB1: open failed, error 2"))
    with pelvane.Reader.open_type_b(1) as card:
        got = (card.open_result, card.activate(), card.sense(), card.transmit(bytes.fromhex("00 A4 04 00 00")),
               card.deactivate(), card.sense())
        check("RW_ session -> %r" % (got,), got == (0, 0, 0x8200, (0, b"\x90\x00"), 0, 0))
        got = (card.insert(), card.sense(), card.eject(3), card.eject(), card.sense(), card.activate(kind=3))
        check("insert, eject -> %r" % (got,), got == (0, 0x8100, 0xA301, 0, 0, 0xA301))
    card.close()  # a second close does nothing
    print("%d calls wrong" % failures)
    return failures


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
