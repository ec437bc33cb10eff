"""Logging into the node's event log from Python, and reading it back.

    import logging, vek_rir
    logging.getLogger().addHandler(vek_rir.Handler())
    logging.getLogger().setLevel(logging.INFO)

The module is a thin layer over the C interface of libvek_rir.so.1 (loaded with ctypes by its
soname, so nothing is compiled on the node; the environment variable VEK_RIR_LIBRARY names
another file to load instead, as the tests do with the build's library):

- add(text, ...) appends one record, or raises Error with the library's failure text;
- Handler is a logging.Handler that turns every log record into one event record and never
  raises into the application;
- records(path=None) gives the records of this node's snapshot, or of a named log file, oldest
  first, as dictionaries with the fields of vek_rir_export's JSON lines.

The process attaches to the live log at its first add and stays attached: records are in the
shared mapping as soon as add returns, and the node's server writes them to disk within about
5 s. A forked child inherits the attachment and logs at once. A process in which C code
attaches through vek_rir_if_world_init itself must not log through this module as well: a
second attach of one process stops it.
"""

import ctypes
import logging
import os
import socket
import struct
import threading
import time

__all__ = ["Error", "add", "records", "Handler", "CLASSES", "CODE_NA", "FLAG_TOKERNEL",
           "MAX_IDENTITY", "MAX_TEXT"]

LIBRARY = "libvek_rir.so.1"

CLASSES = {
    "START": 0xF01FFFFFFFFFFFFF,
    "STOP": 0xF02FFFFFFFFFFFFF,
    "EXIT": 0xF03FFFFFFFFFFFFF,
    "FAIL": 0xF04FFFFFFFFFFFFF,
    "STEP": 0xF05FFFFFFFFFFFFF,
    "CHANGE": 0xF06FFFFFFFFFFFFF,
    "EVENT": 0xF07FFFFFFFFFFFFF,
    "ACTION": 0xF08FFFFFFFFFFFFF,
}
_CLASS_NAMES = {value: name for name, value in CLASSES.items()}
CODE_NA = 0xFFFFFFFFFFFFFFFF
FLAG_TOKERNEL = 4
# What a record keeps of each: the stored fields are 32 and 176 bytes with their terminator.
MAX_IDENTITY = 31
MAX_TEXT = 175

_U64 = (1 << 64) - 1
_RECORD_FLAG_NODE_A = 1
_RECORD_FLAG_NODE_B = 2
_RECORD_FLAG_USED = 4
_RECORD_FLAG_COMPLETE = 8
# The header's count of clears and inhales; zero in files made before it was kept.
_HEADER_GENERATION_OFFSET = 64


class Error(Exception):
    """A call of the library failed; the message is the library's failure text."""


class _FailureInfo(ctypes.Structure):
    _fields_ = [("text", ctypes.c_char * 120)]

    def message(self, fallback):
        text = self.text.decode("utf-8", "backslashreplace")
        return text or fallback


class _SnapInfo(ctypes.Structure):
    _fields_ = [("snap_buffer", ctypes.c_void_p), ("snap_size", ctypes.c_size_t)]


class _Timespec(ctypes.Structure):
    _fields_ = [("tv_sec", ctypes.c_long), ("tv_nsec", ctypes.c_long)]


class _RecordView(ctypes.Structure):
    _fields_ = [
        ("ts", _Timespec),
        ("seqno", ctypes.c_uint64),
        ("rir_flags", ctypes.c_uint64),
        ("rir_class", ctypes.c_uint64),
        ("rir_code", ctypes.c_uint64),
        ("rir_identity", ctypes.c_char_p),
        ("rir_text", ctypes.c_char_p),
    ]


_CALLBACK = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.POINTER(_RecordView))

# The library and this process's attachment. The lock guards loading and attaching only; the
# appends themselves take turns under the log's own mutex. A child forked while another
# thread held the lock gets a fresh one.
_lock = threading.Lock()
_lib = None
_attached = False


def _reinit_after_fork():
    global _lock
    _lock = threading.Lock()


if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=_reinit_after_fork)


def _library():
    global _lib
    lib = _lib
    if lib is not None:
        return lib
    with _lock:
        if _lib is None:
            name = os.environ.get("VEK_RIR_LIBRARY") or LIBRARY
            try:
                lib = ctypes.CDLL(name)
            except OSError as error:
                raise Error("cannot load %s: %s" % (name, error)) from None
            fi = ctypes.POINTER(_FailureInfo)
            snap = ctypes.POINTER(_SnapInfo)
            lib.vek_rir_if_world_init.argtypes = [fi]
            lib.vek_rir_if_world_init.restype = ctypes.c_int
            lib.vek_rir_if_record_add.argtypes = [fi, ctypes.c_uint64, ctypes.c_uint64,
                                                  ctypes.c_uint64, ctypes.c_char_p,
                                                  ctypes.c_char_p]
            lib.vek_rir_if_record_add.restype = ctypes.c_int
            lib.vek_rir_if_snap_fetch_local.argtypes = [fi, snap, ctypes.c_int]
            lib.vek_rir_if_snap_fetch_local.restype = ctypes.c_int
            lib.vek_rir_if_snap_iterate.argtypes = [snap, _CALLBACK, ctypes.c_void_p,
                                                    ctypes.c_int]
            lib.vek_rir_if_snap_iterate.restype = None
            lib.vek_rir_if_snap_free.argtypes = [snap]
            lib.vek_rir_if_snap_free.restype = None
            # A library older than the named-file load still logs and fetches.
            if hasattr(lib, "vek_rir_if_snap_load"):
                lib.vek_rir_if_snap_load.argtypes = [fi, snap, ctypes.c_char_p]
                lib.vek_rir_if_snap_load.restype = ctypes.c_int
            _lib = lib
        return _lib


def _attach(lib):
    """Attaches this process once; a failed attach is tried again at the next add, so a
    program started before the server created the log logs as soon as it exists. Returns
    the failure text of an attach that failed, or None."""
    global _attached
    if _attached:
        return None
    with _lock:
        if _attached:
            return None
        info = _FailureInfo()
        if lib.vek_rir_if_world_init(ctypes.byref(info)) != 0:
            return info.message("vek_rir_if_world_init failed")
        _attached = True
        return None


def _cut(data, limit):
    """At most `limit` bytes of data, never ending inside a UTF-8 sequence that was whole."""
    if len(data) <= limit:
        return data
    end = limit
    # The byte after the cut continues a sequence: step back to that sequence's first byte,
    # if there is one within the longest sequence's reach.
    while end > limit - 3 and end > 0 and (data[end] & 0xC0) == 0x80:
        end -= 1
    if (data[end] & 0xC0) == 0x80 or data[end] < 0xC0:
        end = limit  # no UTF-8 here to keep whole: cut where the field ends
    return data[:end]


def _field(value, limit):
    if isinstance(value, str):
        # Bytes that came in through surrogateescape (file names, environment) go out as they
        # came; other unpaired surrogates as their escapes.
        try:
            data = value.encode("utf-8", "surrogateescape")
        except UnicodeEncodeError:
            data = value.encode("utf-8", "backslashreplace")
    elif isinstance(value, (bytes, bytearray, memoryview)):
        data = bytes(value)
    else:
        data = str(value).encode("utf-8", "backslashreplace")
    # A NUL would end the C string there and lose the rest: kept as the dump shows controls.
    if b"\0" in data:
        data = data.replace(b"\0", b"\\x00")
    return _cut(data, limit)


def _class_value(cls):
    if isinstance(cls, str):
        try:
            return CLASSES[cls.upper()]
        except KeyError:
            raise ValueError("unknown class %r (one of %s, or a number)"
                             % (cls, " ".join(CLASSES))) from None
    value = int(cls)
    if not 0 <= value <= _U64:
        raise ValueError("class %d is not a 64-bit unsigned number" % value)
    return value


def add(text, identity="python", cls="EVENT", code=None, flags=0, kernel=False):
    """Appends one record to the node's live log.

    text and identity are str (UTF-8) or bytes, cut to 175 and 31 bytes without splitting a
    UTF-8 character; cls is a class name (START STOP EXIT FAIL STEP CHANGE EVENT ACTION) or a
    number; code a number or None (no code); flags the caller's bits (the upper 32 are the
    caller's own); kernel=True copies the record to the kernel log too. Raises Error with the
    library's text when the record could not be appended (no live log yet, no permission, no
    room on /vek_var), ValueError for a class or code that is no such thing. On a machine
    without /vek_var it does nothing, as the library's add does there.
    """
    rir_class = _class_value(cls)
    rir_code = CODE_NA if code is None else int(code)
    if not 0 <= rir_code <= _U64:
        raise ValueError("code %d is not a 64-bit unsigned number" % rir_code)
    rir_flags = int(flags)
    if not 0 <= rir_flags <= _U64:
        raise ValueError("flags %d are not a 64-bit unsigned number" % rir_flags)
    if kernel:
        rir_flags |= FLAG_TOKERNEL
    identity_bytes = _field(identity, MAX_IDENTITY)
    text_bytes = _field(text, MAX_TEXT)
    lib = _library()
    attach_failure = _attach(lib)
    info = _FailureInfo()
    # Unattached, the library's add does nothing and succeeds on a machine without /vek_var
    # (a developer's), and fails without a text where /vek_var exists: then the attach's text
    # says why.
    if lib.vek_rir_if_record_add(ctypes.byref(info), rir_flags, rir_class, rir_code,
                                 identity_bytes, text_bytes) != 0:
        raise Error(attach_failure or info.message("vek_rir_if_record_add failed"))


def _json_text(data):
    """The field as the export's JSON carries it, decoded: valid UTF-8 as it is; otherwise
    each byte that is no part of a valid sequence as the four characters \\xNN and each
    backslash doubled, and True for the *_escaped key."""
    try:
        return data.decode("utf-8"), False
    except UnicodeDecodeError:
        pass
    out = []
    for char in data.decode("utf-8", "surrogateescape"):
        point = ord(char)
        if 0xDC80 <= point <= 0xDCFF:
            out.append("\\x%02x" % (point - 0xDC00))
        elif char == "\\":
            out.append("\\\\")
        else:
            out.append(char)
    return "".join(out), True


def _time_text(secs, usecs):
    try:
        if secs > 0x7FFFFFFFFFFFFFFF:
            raise OverflowError
        tm = time.gmtime(secs)
    except (OverflowError, OSError, ValueError):
        return "@%d.%06d" % (secs, usecs)
    return "%d-%02d-%02dT%02d:%02d:%02d.%06dZ" % (tm.tm_year, tm.tm_mon, tm.tm_mday,
                                                  tm.tm_hour, tm.tm_min, tm.tm_sec, usecs)


def _record_dict(view, host, generation):
    flags = view.rir_flags
    node_a = bool(flags & _RECORD_FLAG_NODE_A)
    node_b = bool(flags & _RECORD_FLAG_NODE_B)
    secs = view.ts.tv_sec & _U64
    identity, identity_escaped = _json_text(view.rir_identity or b"")
    text, text_escaped = _json_text(view.rir_text or b"")
    letters = "".join(letter if flags & bit else "." for letter, bit in (
        ("A", _RECORD_FLAG_NODE_A), ("B", _RECORD_FLAG_NODE_B),
        ("U", _RECORD_FLAG_USED), ("C", _RECORD_FLAG_COMPLETE)))
    used_complete = _RECORD_FLAG_USED | _RECORD_FLAG_COMPLETE
    record = {
        "seqno": view.seqno,
        "time": _time_text(secs, view.ts.tv_nsec // 1000),
        "node": "A" if node_a and not node_b else "B" if node_b and not node_a else "",
        "class": _CLASS_NAMES.get(view.rir_class, view.rir_class),
        "code": None if view.rir_code == CODE_NA else view.rir_code,
        "identity": identity,
        "text": text,
        "flags": "%08x:%s" % (flags >> 32, letters),
        "complete": (flags & used_complete) == used_complete,
        "host": host,
        "generation": generation,
    }
    if identity_escaped:
        record["identity_escaped"] = True
    if text_escaped:
        record["text_escaped"] = True
    return record


def records(path=None, timeout=5):
    """The records of a log file, oldest first, each a dictionary with the keys of
    vek_rir_export's JSON lines (seqno, time, node, class, code, identity, text, flags,
    complete, host, generation, and identity_escaped or text_escaped when set).

    Without a path: this node's snapshot, which the node's server is first asked to renew
    (waiting up to `timeout` seconds; 0 reads the snapshot on disk without asking, and a
    server that does not answer in time leaves that one to be read). With a path: that file
    (a snapshot, a peer copy, a merged log, a copy of one), read as it is. Raises Error with
    the library's text when the file cannot be read or is no log.
    """
    lib = _library()
    info = _FailureInfo()
    snap = _SnapInfo()
    if path is None:
        rc = lib.vek_rir_if_snap_fetch_local(ctypes.byref(info), ctypes.byref(snap),
                                             int(timeout))
    else:
        if not hasattr(lib, "vek_rir_if_snap_load"):
            raise Error("the library has no vek_rir_if_snap_load: it is older than this module")
        rc = lib.vek_rir_if_snap_load(ctypes.byref(info), ctypes.byref(snap), os.fsencode(path))
    if rc != 0:
        raise Error(info.message("reading the log failed"))
    try:
        header = ctypes.string_at(snap.snap_buffer, _HEADER_GENERATION_OFFSET + 8)
        (generation,) = struct.unpack_from("<Q", header, _HEADER_GENERATION_OFFSET)
        host = socket.gethostname()
        out = []
        failure = []

        def collect(_cookie, view):
            try:
                out.append(_record_dict(view.contents, host, generation))
                return 0
            except BaseException as error:  # never let an exception cross the C frames
                failure.append(error)
                return -1

        lib.vek_rir_if_snap_iterate(ctypes.byref(snap), _CALLBACK(collect), None, 0)
        if failure:
            raise failure[0]
        return out
    finally:
        lib.vek_rir_if_snap_free(ctypes.byref(snap))


class Handler(logging.Handler):
    """A logging handler that appends every log record to the node's event log.

    The identity is the logger's name, the text the formatted message, both cut to what a
    record keeps without splitting a UTF-8 character; the class follows the level
    (level_classes below: CRITICAL and ERROR give FAIL, WARNING gives EVENT, INFO and DEBUG
    give STEP); extra={"rir_code": N} sets the code. A record that cannot be appended goes to
    handleError like any handler's failure, and the application goes on.
    """

    # (lowest level, class): the first row whose level the record reaches.
    level_classes = ((logging.ERROR, "FAIL"), (logging.WARNING, "EVENT"), (0, "STEP"))

    def class_for(self, levelno):
        for level, name in self.level_classes:
            if levelno >= level:
                return name
        return self.level_classes[-1][1]

    def emit(self, record):
        try:
            code = getattr(record, "rir_code", None)
            add(self.format(record), identity=record.name or "root",
                cls=self.class_for(record.levelno), code=code)
        except Exception:
            self.handleError(record)
