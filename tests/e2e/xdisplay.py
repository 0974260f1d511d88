"""What the X server says, read through libX11 itself (no toolkit between)."""
import ctypes
import ctypes.util

_x11 = ctypes.CDLL(ctypes.util.find_library("X11"))
_x11.XOpenDisplay.restype = ctypes.c_void_p
_x11.XOpenDisplay.argtypes = [ctypes.c_char_p]
_x11.XQueryKeymap.argtypes = [ctypes.c_void_p, ctypes.c_char * 32]
_x11.XKeysymToKeycode.argtypes = [ctypes.c_void_p, ctypes.c_ulong]
_x11.XKeysymToKeycode.restype = ctypes.c_ubyte
_x11.XCloseDisplay.argtypes = [ctypes.c_void_p]

XK_Shift_L = 0xFFE1


_dpy = None


def _display():
    # One connection for the whole run: XQueryKeymap is a round trip, so it
    # always sees the server's present state.
    global _dpy
    if not _dpy:
        _dpy = _x11.XOpenDisplay(None)
        if not _dpy:
            raise RuntimeError("no X display")
    return _dpy


_KEYSYMS = {"Shift_L": XK_Shift_L, "Control_L": 0xFFE3, "a": 0x61, "F5": 0xFFC2}


def key_down(name):
    """True while the X server's keymap has that key down."""
    dpy = _display()
    keys = (ctypes.c_char * 32)()
    _x11.XQueryKeymap(dpy, keys)
    code = _x11.XKeysymToKeycode(dpy, _KEYSYMS[name])
    return bool(keys.raw[code // 8] & (1 << (code % 8)))


_x11.XDefaultRootWindow.argtypes = [ctypes.c_void_p]
_x11.XDefaultRootWindow.restype = ctypes.c_ulong
_ulong, _int, _uint = ctypes.c_ulong, ctypes.c_int, ctypes.c_uint
_x11.XQueryPointer.argtypes = [ctypes.c_void_p, _ulong] + [ctypes.POINTER(_ulong)] * 2 + \
    [ctypes.POINTER(_int)] * 4 + [ctypes.POINTER(_uint)]


def buttons_down():
    """The mouse buttons (1 to 5) the X server has down."""
    dpy = _display()
    w, c = _ulong(), _ulong()
    x, y, wx, wy = _int(), _int(), _int(), _int()
    mask = _uint()
    _x11.XQueryPointer(dpy, _x11.XDefaultRootWindow(dpy), ctypes.byref(w), ctypes.byref(c), ctypes.byref(x),
                       ctypes.byref(y), ctypes.byref(wx), ctypes.byref(wy), ctypes.byref(mask))
    return {b for b in range(1, 6) if mask.value & (1 << (7 + b))}


def shift_down():
    """True while the X server's keymap has left Shift down."""
    return key_down("Shift_L")


class _ClientMessage(ctypes.Structure):
    _fields_ = [
        ("type", ctypes.c_int),
        ("serial", ctypes.c_ulong),
        ("send_event", ctypes.c_int),
        ("display", ctypes.c_void_p),
        ("window", ctypes.c_ulong),
        ("message_type", ctypes.c_ulong),
        ("format", ctypes.c_int),
        ("data", ctypes.c_long * 5),
    ]


class _Event(ctypes.Union):
    _fields_ = [("xclient", _ClientMessage), ("pad", ctypes.c_long * 24)]


_x11.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
_x11.XInternAtom.restype = ctypes.c_ulong
_x11.XSendEvent.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_long, ctypes.POINTER(_Event)]
_x11.XFlush.argtypes = [ctypes.c_void_p]


def close_window(window_id):
    """Asks a window to close the way a window manager's close button does."""
    dpy = _display()
    if True:
        ev = _Event()
        ev.xclient.type = 33  # ClientMessage
        ev.xclient.window = window_id
        ev.xclient.message_type = _x11.XInternAtom(dpy, b"WM_PROTOCOLS", 0)
        ev.xclient.format = 32
        ev.xclient.data[0] = _x11.XInternAtom(dpy, b"WM_DELETE_WINDOW", 0)
        ev.xclient.data[1] = 0  # CurrentTime
        _x11.XSendEvent(dpy, window_id, 0, 0, ctypes.byref(ev))
        _x11.XFlush(dpy)
