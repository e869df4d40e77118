"""quickstart.py: open the reader, find a FeliCa card, read one block, close.

    python quickstart.py            scan the CP210x and PL2303 ports for a reader
    python quickstart.py 3          open COM3
    python quickstart.py 1 PATH     map port 1 onto a device path first (Linux: the
                                    virtual reader's pseudo-terminal)

It uses the pelvane package installed with pip (the wheel, which holds the
library); without one, the binding and bin/pelvane.dll of the zip this example
came in. Set PELVANE_LIBRARY to load another library file.
"""
import os
import sys

here = os.path.dirname(os.path.abspath(__file__))
try:
    import pelvane
    from_zip = False
except ImportError:
    sys.path.insert(0, os.path.join(here, "..", "..", "bindings", "python"))
    import pelvane
    from_zip = True


def check(what, response):
    """True when the command ran and the card answered; otherwise says why."""
    if response.status is None:
        print("%s failed: result %d, no response" % (what, response.result))
        return False
    if not response.ok:
        print("%s failed: result %d, status 0x%02X" % (what, response.result, response.status))
        return False
    return True


def main(argv):
    dll = os.path.join(here, "..", "..", "bin", "pelvane.dll")
    if from_zip and os.name == "nt" and os.path.exists(dll) and "PELVANE_LIBRARY" not in os.environ:
        pelvane.load(dll)
    port = int(argv[1]) if len(argv) > 1 else -1  # -1: scan
    if len(argv) > 2:
        pelvane.set_port_device(port, argv[2])
    try:
        reader = pelvane.Reader.open(port)
    except pelvane.PelvaneError as e:
        print("RF_OPEN failed: %s" % e)  # the meaning of e.result, then why
        return 3
    with reader:
        print("reader opened on port %d" % reader.port)
        # Mode selection: FeliCa, time-out 1.0 s. The answer: IC code, firmware version.
        r = reader.command(bytes.fromhex("07 10 10 0A 00 00 00"))
        if not check("mode selection", r):
            return 1
        print("controller IC 0x%02X, firmware version 0x%02X" % (r.data[0], r.data[1]))
        # Polling for any system code, time slot 0: the answer is the IDm.
        r = reader.command(bytes.fromhex("05 20 FF FF 00"))
        if not check("polling", r):
            return 1
        idm = r.data[:8]
        print("card IDm " + idm.hex(" ").upper())
        # Read Without Encryption: one service (090F, high byte first), block 0.
        r = reader.command(bytes([0x10, 0x30]) + idm + bytes.fromhex("01 09 0F 01 80 00"))
        if not check("reading", r):
            return 1
        print("block 0: " + r.data.hex(" ").upper())
    print("closed")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
