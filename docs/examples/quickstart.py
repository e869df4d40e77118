"""quickstart.py: open the reader, find a FeliCa card, read one block, close.

    python quickstart.py            scan the CP210x and PL2303 ports for a reader
    python quickstart.py 3          open COM3
    python quickstart.py 1 PATH     map port 1 onto a device path first (Linux: the
                                    virtual reader's pseudo-terminal)

On Windows this needs a 32-bit Python next to pelvane.dll; on Linux it loads
libpelvane.so (set PELVANE_LIBRARY to its path if it is not found).
"""
import ctypes
import os
import sys

RESPONSE_MAX = 22846  # PELVANE_RESPONSE_MAX: large enough for every command

if os.name == "nt":
    lib = ctypes.WinDLL(os.environ.get("PELVANE_LIBRARY", "pelvane.dll"))  # __stdcall
else:
    lib = ctypes.CDLL(os.environ.get("PELVANE_LIBRARY", "libpelvane.so"))

lib.RF_OPEN.argtypes = [ctypes.c_int32, ctypes.POINTER(ctypes.c_int32)]
lib.RF_OPEN.restype = ctypes.c_uint16
lib.RF_CLOSE.argtypes = [ctypes.c_int32]
lib.RF_CLOSE.restype = ctypes.c_int32
lib.RF_COMMAND.argtypes = [ctypes.c_int32, ctypes.c_char_p, ctypes.c_void_p]
lib.RF_COMMAND.restype = ctypes.c_uint16
lib.PV_SetPortDevice.argtypes = [ctypes.c_int32, ctypes.c_char_p]
lib.PV_SetPortDevice.restype = ctypes.c_int32


def command(port, packet):
    """Sends one command packet; returns (result, status, data)."""
    request = bytes(packet).ljust(256, b"\0")  # the library reads LEN bytes of it
    response = (ctypes.c_uint8 * RESPONSE_MAX)()
    result = lib.RF_COMMAND(port, request, response)
    length = response[0]
    if length < 3 or response[1] != packet[1]:
        return result, None, b""  # no response was written
    return result, response[2], bytes(response[3:length])


def main(argv):
    port = int(argv[1]) if len(argv) > 1 else -1  # -1: scan
    if len(argv) > 2 and lib.PV_SetPortDevice(port, argv[2].encode()) != 0:
        print("cannot map port %d to %s" % (port, argv[2]))
        return 2
    opened = ctypes.c_int32(0)
    result = lib.RF_OPEN(port, ctypes.byref(opened))
    if result != 0:
        print("RF_OPEN failed with %d (65535: no reader found on any bridge port)" % result)
        return 3
    port = opened.value
    print("reader opened on port %d" % port)
    try:
        # Mode selection: FeliCa, time-out 1.0 s. The answer: IC code, firmware version.
        result, status, data = command(port, [0x07, 0x10, 0x10, 0x0A, 0x00, 0x00, 0x00])
        if result != 0 or status != 0:
            print("mode selection failed: result %d, status %r" % (result, status))
            return 1
        print("controller IC 0x%02X, firmware version 0x%02X" % (data[0], data[1]))
        # Polling for any system code, time slot 0: the answer is the IDm.
        result, status, idm = command(port, [0x05, 0x20, 0xFF, 0xFF, 0x00])
        if result != 0 or status != 0:
            print("polling failed: result %d, status %r" % (result, status))
            return 1
        print("card IDm " + idm.hex(" ").upper())
        # Read Without Encryption: service 090F, block 0.
        read = [0x10, 0x30] + list(idm) + [0x01, 0x09, 0x0F, 0x01, 0x80, 0x00]
        result, status, block = command(port, read)
        if result != 0 or status != 0:
            print("reading failed: result %d, status %r" % (result, status))
            return 1
        print("block 0: " + block.hex(" ").upper())
        return 0
    finally:
        lib.RF_CLOSE(port)
        print("closed")


if __name__ == "__main__":
    sys.exit(main(sys.argv))
