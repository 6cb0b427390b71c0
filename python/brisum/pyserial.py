"""pyserial's own Windows backend (serial.serialwin32.Serial, unmodified) over
the simulated ports of libbrisum_win32.so, on Linux.

Importing this module makes ctypes look as it does on Windows to the code
that pyserial runs: ``ctypes.WinDLL("kernel32")`` loads the comm layer's
shared library, ``ctypes.wintypes`` has the Win32 integer widths (DWORD,
LONG, ULONG and BOOL are 32 bits; Linux's ``c_ulong`` is 64), wide strings
are passed as UTF-16 and ``ctypes.WinError`` reports the layer's last error.
Then it imports serial.serialwin32::

    import brisum.pyserial
    port = brisum.pyserial.Serial("COM1", 115200, timeout=1)

The world behind the ports is the comm layer's: the scenario file named in
BRISUM_SCENARIO, or one loopback device named COM1. The library is the one
named in BRISUM_WIN32_LIB, else the default build's.

These changes are global to the process: other ctypes code in it sees the
Win32 widths too.
"""
import ctypes
import ctypes.wintypes
import os

_HERE = os.path.dirname(os.path.abspath(__file__))
_DEFAULT_LIBRARY = os.path.join(_HERE, "..", "..", "build", "default", "win32", "libbrisum_win32.so")


def library_path():
    """Where the comm layer's shared library is taken from."""
    return os.environ.get("BRISUM_WIN32_LIB") or os.path.normpath(_DEFAULT_LIBRARY)


class LPCWSTR(ctypes.c_char_p):
    """A wide string as Win32 has it: UTF-16 code units ending in a null unit
    (Linux's c_wchar_p holds 32-bit units)."""

    @classmethod
    def from_param(cls, value):
        if value is None:
            return None
        if isinstance(value, str):
            return ctypes.c_char_p(value.encode("utf-16-le") + b"\0\0")
        return ctypes.c_char_p.from_param(value)


_kernel32 = None


def kernel32():
    """The comm layer, loaded once."""
    global _kernel32
    if _kernel32 is None:
        _kernel32 = ctypes.CDLL(library_path())
        _kernel32.GetLastError.restype = ctypes.c_uint32
        _kernel32.GetLastError.argtypes = []
    return _kernel32


def reset_world(scenario):
    """Replaces the world by one set up from scenario text (device and PnP
    lines); no port may be in use. Raises ValueError on a malformed line."""
    if kernel32().brisum_world_reset(scenario.encode()) != 0:
        raise ValueError("brisum: the scenario does not compile (see standard error)")


def run_world(lines):
    """Runs device-side scenario lines now (bulk-in, serial-state, answer ...)."""
    if kernel32().brisum_world_run(lines.encode()) != 0:
        raise ValueError("brisum: the lines do not compile (see standard error)")


def _win_dll(name, *args, **kwargs):
    if name.lower().replace(".dll", "") in ("kernel32", "kernelbase", "ntdll"):
        return kernel32()
    raise OSError("brisum.pyserial: only kernel32 is simulated, not {!r}".format(name))


def _win_error(code=None, descr=None):
    if code is None:
        code = kernel32().GetLastError()
    if descr is None:
        descr = "Win32 error {}".format(code)
    error = OSError(None, descr, None)
    error.winerror = code
    return error


def install():
    """Gives ctypes its Windows face (idempotent)."""
    w = ctypes.wintypes
    for name, kind in (("DWORD", ctypes.c_uint32), ("ULONG", ctypes.c_uint32), ("UINT", ctypes.c_uint32),
                       ("LONG", ctypes.c_int32), ("BOOL", ctypes.c_int32), ("INT", ctypes.c_int32)):
        setattr(w, name, kind)
    w.LPDWORD = w.PDWORD = ctypes.POINTER(ctypes.c_uint32)
    w.LPCWSTR = w.LPWSTR = LPCWSTR
    ctypes.WinDLL = _win_dll
    ctypes.WinError = _win_error
    ctypes.FormatError = lambda code=None: "Win32 error {}".format(code)
    ctypes.GetLastError = lambda: kernel32().GetLastError()


install()

import serial  # noqa: E402  (after install: serial.win32 reads the types when imported)
from serial import serialwin32, win32  # noqa: E402,F401

Serial = serialwin32.Serial
SerialException = serial.SerialException
SerialTimeoutException = serial.SerialTimeoutException
