"""Pelvane for Python: the RF_ packet interface and the RW_ Type B card interface
of pelvane.dll (Windows) or libpelvane.so (Linux), through ctypes.

    import pelvane
    with pelvane.Reader.open(-1) as reader:           # -1: first bridge port with a reader
        r = reader.command(bytes.fromhex("07 10 10 0A 00 00 00"))
        print(r.result, r.status, r.data.hex(" "))

Every call blocks its thread until the reader answers or the command's time-out
passes; calls for one reader must not overlap.
"""
import collections
import ctypes
import os
import sys
import threading

__all__ = ["load", "set_port_device", "set_line_speed", "set_trace_sink", "Reader", "Response", "PelvaneError",
           "RESPONSE_MAX"]
__version__ = "1.0.0"

RESPONSE_MAX = 22846        # PELVANE_RESPONSE_MAX: suits every command
APDU_RESPONSE_MAX = 1024    # PELVANE_APDU_RESPONSE_MAX
_COMMAND_AREA = 256         # the library reads LEN bytes of a command packet
_LONG_FORM_MARKER = 0xFF
_SEGMENT_SIZE = 243
_SEGMENT_MARKER = 0xA7

_WINDOWS = os.name == "nt"
_FUNCTYPE = ctypes.WINFUNCTYPE if _WINDOWS else ctypes.CFUNCTYPE
TraceSink = _FUNCTYPE(None, ctypes.c_char_p)

_I32 = ctypes.c_int32
_P32 = ctypes.POINTER(ctypes.c_int32)
_BYTES = ctypes.c_char_p
_BUFFER = ctypes.c_void_p
# name: (result type, argument types), as pelvane.h declares them.
_EXPORTS = {
    "RF_OPEN": (ctypes.c_uint16, [_I32, _P32]),
    "RF_CLOSE": (_I32, [_I32]),
    "RF_COMMAND": (ctypes.c_uint16, [_I32, _BYTES, _BUFFER]),
    "RW_Open": (_I32, [_I32]),
    "RW_Close": (_I32, [_I32]),
    "RW_Activate": (_I32, [_I32, _I32, _I32, _I32, _I32]),
    "RW_Deactivate": (_I32, [_I32, _I32, _I32]),
    "RW_Eject": (_I32, [_I32, _I32]),
    "RW_Insert": (_I32, [_I32, _I32]),
    "RW_Sense": (_I32, [_I32, _I32, _P32, _I32]),
    "RW_Transmit": (_I32, [_I32, _I32, _I32, _I32, _BYTES, _P32, _BUFFER]),
    "PV_SetTraceSink": (_I32, [TraceSink]),
    "PV_SetPortDevice": (_I32, [_I32, _BYTES]),
    "PV_SetLineSpeed": (_I32, [_I32, _I32]),
}

_lib = None
_lock = threading.Lock()


class PelvaneError(Exception):
    """A port that could not be opened, or a library that could not be loaded.
    result: RF_OPEN's (1, 2, 0xFFFF) or RW_Open's code; lines: the library's
    "open: " trace lines telling why."""

    def __init__(self, message, result=None, lines=()):
        self.result = result
        self.lines = list(lines)
        text = message + "".join("\n  " + line.rstrip("\n") for line in self.lines)
        super().__init__(text)


def _default_path():
    """The native library installed with the package (the platform wheels hold
    it beside this file); on Linux without one, libpelvane.so from the system's
    library path."""
    here = os.path.dirname(os.path.abspath(__file__))
    name = "pelvane.dll" if _WINDOWS else "libpelvane.so"
    bundled = os.path.join(here, name)
    if _WINDOWS or os.path.isfile(bundled):
        return bundled
    return name


def load(path=None):
    """Loads the library once and returns it. path: the DLL or shared object;
    default: the PELVANE_LIBRARY environment variable, else the library the
    wheel installed beside this package (pelvane.dll, libpelvane.so), else
    libpelvane.so from the system's library path on Linux. On Windows the DLL's
    folder is added with os.add_dll_directory (Python 3.8 and later no longer
    search the working folder or PATH). A second call returns the library
    already loaded, whatever its path."""
    global _lib
    with _lock:
        if _lib is not None:
            return _lib
        path = path or os.environ.get("PELVANE_LIBRARY") or _default_path()
        try:
            if _WINDOWS:
                folder = os.path.dirname(os.path.abspath(path))
                if hasattr(os, "add_dll_directory") and os.path.isdir(folder):
                    os.add_dll_directory(folder)
                lib = ctypes.WinDLL(os.path.abspath(path))
            else:
                lib = ctypes.CDLL(path)
        except OSError as e:
            hint = ""
            if _WINDOWS and getattr(e, "winerror", None) == 193:
                hint = " (a %d-bit Python cannot load this DLL: use the package of the other width)" % (
                    64 if sys.maxsize > 2**32 else 32)
            raise PelvaneError("cannot load %s: %s%s" % (path, e, hint)) from e
        for name, (restype, argtypes) in _EXPORTS.items():
            function = getattr(lib, name)
            function.restype = restype
            function.argtypes = argtypes
        _lib = lib
        return lib


def set_port_device(port, path):
    """Maps a port number (1 to 256) onto another device path; None restores the default."""
    encoded = None if path is None else os.fsencode(path)
    if load().PV_SetPortDevice(port, encoded) != 0:
        raise ValueError("port must be 1 to 256 and the path at most 259 bytes")


def set_line_speed(port, baud):
    """Asks for a faster line at the next opening: baud 230400, 460800 or 921600 for port 1 to 256,
    or port 0 for every port; 115200 asks for none, 0 clears the setting."""
    if load().PV_SetLineSpeed(port, baud) != 0:
        raise ValueError("port must be 0 to 256 and baud 0, 115200, 230400, 460800 or 921600")


_user_sink = None
_collected = None


@TraceSink
def _collector(line):
    text = line.decode("latin-1") if line else ""
    if _collected is not None and text.startswith("open: "):
        _collected.append(text)
    if _user_sink is not None:
        _user_sink(line)


def set_trace_sink(function):
    """Sends every trace line (bytes, ending in a line feed) to function; None discards."""
    global _user_sink
    lib = load()  # before the lock: load takes it too
    with _lock:
        _user_sink = None if function is None else TraceSink(function)
        lib.PV_SetTraceSink(_user_sink or TraceSink())


def _while_opening(call):
    """Runs an opening call with the "open: " trace lines collected."""
    global _collected
    lib = load()
    with _lock:
        _collected = []
        lib.PV_SetTraceSink(_collector)
        try:
            result = call(lib)
        finally:
            lib.PV_SetTraceSink(_user_sink or TraceSink())  # TraceSink(): the null sink
            lines, _collected = _collected, None
    return result, lines


def _open_failure(port, result):
    if result == 0xFFFF:
        return "no reader found on any CP210x or PL2303 port"
    if result == 2:
        return "port %d is outside 1 to 256" % port
    if port == -1:
        return "the scan failed"
    return "port %d is missing or busy, or no reader answered on it" % port


class Response(collections.namedtuple("Response", "result status data packet")):
    """One RF_COMMAND: result (0 done, 1 failed, 2 refused), status (the STATUS
    byte, None when the library wrote no response), data and the whole packet."""

    @property
    def ok(self):
        return self.result == 0 and self.status == 0


def _parse(result, cmd, buffer):
    """Short form: LEN CMD STATUS data. Long form of 0x86: FF LENH LENL CMD STATUS
    data. Segmented reads 0x70/0x71: COUNT CMD STATUS [A7] segments of 243 bytes."""
    head = 3
    if cmd == 0x86 and buffer[0] == _LONG_FORM_MARKER and buffer[3] == cmd:
        head, total, status = 5, (buffer[1] << 8) | buffer[2], buffer[4]
    elif buffer[1] != cmd:
        return Response(result, None, b"", b"")
    elif cmd in (0x70, 0x71):
        head = 4 if cmd == 0x70 else 3
        total = head + _SEGMENT_SIZE * buffer[0]
        if cmd == 0x70 and buffer[3] != _SEGMENT_MARKER:
            total = 3
        status = buffer[2]
    else:
        total = buffer[0]
        status = buffer[2] if total >= 3 else None
    packet = bytes(buffer[:min(total, len(buffer))])
    return Response(result, status, packet[head:], packet)


class Reader:
    """One open reader; a context manager that closes it."""

    def __init__(self, port):
        self.port = port
        self.open_result = 0
        self._open = True
        self._response = (ctypes.c_uint8 * RESPONSE_MAX)()

    @classmethod
    def open(cls, port=-1):
        """RF_OPEN: port 1 to 256, or -1 for the first bridge port with a reader."""
        opened = ctypes.c_int32(0)
        result, lines = _while_opening(lambda lib: lib.RF_OPEN(port, ctypes.byref(opened)))
        if result != 0:
            raise PelvaneError("%s (RF_OPEN result %d)" % (_open_failure(port, result), result), result, lines)
        return cls(opened.value)

    @classmethod
    def open_type_b(cls, port):
        """RW_Open: the reader set up for one Type B card (ports 1 to 255). 0xA203
        (set-up refused) leaves the port open; the reader is returned with open_result."""
        result, lines = _while_opening(lambda lib: lib.RW_Open(port))
        if result not in (0, 0xA203):
            raise PelvaneError("port %d could not be opened (RW_Open result 0x%X)" % (port, result),
                               result, lines)
        reader = cls(port & 0xFF)
        reader.open_result = result
        return reader

    def command(self, packet):
        """RF_COMMAND: one command packet (LEN CMD parameters) in, a Response out."""
        packet = bytes(packet)
        if not 2 <= len(packet) < _COMMAND_AREA or packet[0] > len(packet):
            raise ValueError("a command packet holds 2 to 255 bytes and LEN no more than it holds")
        cmd = packet[1]
        ctypes.memset(self._response, 0, RESPONSE_MAX)
        self._response[1] = self._response[3] = cmd ^ 0xFF  # tells an unwritten response apart
        result = load().RF_COMMAND(self.port, packet.ljust(_COMMAND_AREA, b"\0"), self._response)
        return _parse(result, cmd, self._response)

    def activate(self, kind=1, option=0, flags=0):
        """RW_Activate: 0, or a code of the 0xAxxx family."""
        return load().RW_Activate(self.port, kind, 0, option, flags)

    def insert(self):
        return load().RW_Insert(self.port, 0)

    def deactivate(self):
        return load().RW_Deactivate(self.port, 0, 0)

    def eject(self, kind=1):
        return load().RW_Eject(self.port, kind)

    def sense(self):
        """RW_Sense: the card status word (0, 0x0800, 0x8100, 0x8200)."""
        status = ctypes.c_int32(0)
        load().RW_Sense(self.port, 0, ctypes.byref(status), 0)
        return status.value

    def transmit(self, apdu):
        """RW_Transmit: (0, the card's answer) or (0xAE02, b"")."""
        apdu = bytes(apdu)
        if not 1 <= len(apdu) <= 253:
            raise ValueError("an APDU holds 1 to 253 bytes")
        answer = (ctypes.c_uint8 * APDU_RESPONSE_MAX)()
        length = ctypes.c_int32(0)
        result = load().RW_Transmit(self.port, 0, 0, len(apdu), apdu, ctypes.byref(length), answer)
        if result != 0:
            return result, b""
        return result, bytes(answer[:max(0, min(length.value, APDU_RESPONSE_MAX))])

    def close(self):
        """RF_CLOSE (an RW_ session's port too); a second call does nothing."""
        if self._open:
            self._open = False
            load().RF_CLOSE(self.port)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False
