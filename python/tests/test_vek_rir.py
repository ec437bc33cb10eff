"""The Python module against the build's library, inside the namespaces run.sh sets up (its own
/vek_var, /vek_tmp and /dev). One live log serves the whole session: the module attaches once
per process, so each test tells its records apart by identities of its own, and the cases that
need a node without a log run in a child with an empty /vek_var of its own."""

import json
import logging
import os
import signal
import socket
import struct
import subprocess
import sys
import threading
import time

import pytest

import vek_rir

TOOL = os.environ["VEK_RIR_TOOL"]
EXPORT_TOOL = os.environ["VEK_RIR_EXPORT_TOOL"]
LIVE = "/vek_var/vek-rir-local.bin"
SNAP = "/vek_var/vek-rir-local-snap.bin"
CHILD_SECONDS = 30


def run(*command, timeout=CHILD_SECONDS, env=None):
    return subprocess.run(command, capture_output=True, text=True, timeout=timeout, env=env)


@pytest.fixture(scope="session", autouse=True)
def live_log():
    if not os.path.exists(LIVE):
        made = run(TOOL, "-o", "rir_add", "-I", "setup", "-t", "creates the log")
        assert made.returncode == 0, made.stdout + made.stderr
    yield LIVE


def logged(identity):
    """The live log's records of that identity, oldest first."""
    return [r for r in vek_rir.records(LIVE) if r["identity"] == identity]


class Collecting(vek_rir.Handler):
    """A handler that keeps what reached handleError instead of printing it."""

    def __init__(self):
        super().__init__()
        self.errors = []

    def handleError(self, record):
        self.errors.append(sys.exc_info()[1])


def logger_with(handler, name):
    logger = logging.getLogger(name)
    logger.handlers[:] = [handler]
    logger.propagate = False
    logger.setLevel(1)
    return logger


# ---- records() against files of known content -------------------------------------------------

CLASS_FAIL = vek_rir.CLASSES["FAIL"]
USED, COMPLETE, NODE_A, NODE_B = 4, 8, 1, 2


def log_file(records, generation=0, merged=False, node=0):
    slots = 24544 if merged else 12272
    header = bytearray(4096)
    struct.pack_into("<9Q", header, 0, 0xDEADBEEAF00D1234, 1, node | (4 if merged else 0), 256,
                     slots, len(records), 0, 0, generation)
    ring = bytearray(slots * 256)
    for index, (flags, secs, usecs, cls, code, identity, text) in enumerate(records):
        struct.pack_into("<6Q32s176s", ring, index * 256, index, flags, secs, usecs, cls, code,
                         identity, text)
    return bytes(header + ring)


KNOWN = [
    (USED | COMPLETE | NODE_A, 1765152000, 123456, CLASS_FAIL, 42, b"ctl.main", b"started"),
    (USED | COMPLETE | NODE_B | (7 << 32), 1765152001, 5, 0x1234, vek_rir.CODE_NA, b"sensor",
     "caf\u00e9 \u20ac".encode()),
    # A writer that died between claim and complete; bytes that are no UTF-8; a backslash.
    (USED | NODE_A, 1765152002, 999999, vek_rir.CLASSES["STEP"], 0, b"bad\xff",
     b"a\\b \xe2\x82 tab\there"),
]

EXPECTED = [
    {"seqno": 0, "time": "2025-12-08T00:00:00.123456Z", "node": "A", "class": "FAIL",
     "code": 42, "identity": "ctl.main", "text": "started", "flags": "00000000:A.UC",
     "complete": True},
    {"seqno": 1, "time": "2025-12-08T00:00:01.000005Z", "node": "B", "class": 0x1234,
     "code": None, "identity": "sensor", "text": "caf\u00e9 \u20ac", "flags": "00000007:.BUC",
     "complete": True},
    {"seqno": 2, "time": "2025-12-08T00:00:02.999999Z", "node": "A", "class": "STEP",
     "code": 0, "identity": "bad\\xff", "text": "a\\\\b \\xe2\\x82 tab\there",
     "flags": "00000000:A.U.", "complete": False, "identity_escaped": True,
     "text_escaped": True},
]


@pytest.mark.parametrize("merged,generation", [(False, 0), (False, 3), (True, 1)])
def test_records_of_a_file_are_the_exports_json_records(merged, generation):
    path = "/vek_tmp/known-%d-%d.bin" % (merged, generation)
    with open(path, "wb") as f:
        f.write(log_file(KNOWN, generation, merged))
    got = vek_rir.records(path)
    host = socket.gethostname()
    assert got == [dict(e, host=host, generation=generation) for e in EXPECTED]
    # The export is the reference: every key it prints, with the same value.
    export = run(EXPORT_TOOL, "-o", "json", "-M", path)
    assert export.returncode == 0, export.stderr
    lines = [json.loads(line) for line in export.stdout.splitlines()]
    assert len(lines) == len(got)
    for ours, theirs in zip(got, lines):
        assert {key: ours.get(key) for key in theirs} == theirs


def test_records_fail_with_the_librarys_text():
    with open("/vek_tmp/short.bin", "wb") as f:
        f.write(b"x" * 100)
    with open("/vek_tmp/zero.bin", "wb") as f:
        f.write(bytes(3145728))
    cases = [
        ("/vek_tmp/none.bin", "missing RIR snap at /vek_tmp/none.bin"),
        ("/vek_tmp/short.bin", "insane RIR snap size at /vek_tmp/short.bin (100 vs 3145728)"),
        ("/vek_tmp/zero.bin", "corrupt RIR version in fetch"),
    ]
    for path, text in cases:
        with pytest.raises(vek_rir.Error) as raised:
            vek_rir.records(path)
        assert str(raised.value) == text


def test_records_without_a_path_read_this_nodes_snapshot():
    vek_rir.add("for the snapshot", identity="snapshot.t")
    made = run(TOOL, "-o", "rir_snap", "-M", SNAP)
    assert made.returncode == 0, made.stdout
    vek_rir.add("after the snapshot", identity="snapshot.t")
    # Without a server: read as it is on disk (timeout 0), or refused when asked to renew it.
    texts = [r["text"] for r in vek_rir.records(timeout=0) if r["identity"] == "snapshot.t"]
    assert texts == ["for the snapshot"]
    with pytest.raises(vek_rir.Error, match="^noserver$"):
        vek_rir.records(timeout=1)


# ---- add() and the handler --------------------------------------------------------------------

def test_add_fields_and_refusals():
    vek_rir.add("by name", identity="add.t", cls="change", code=7, flags=3 << 32)
    vek_rir.add("by number", identity="add.t", cls=0xABC)
    vek_rir.add(b"as bytes", identity=b"add.t", cls=vek_rir.CLASSES["ACTION"])
    got = [(r["class"], r["code"], r["flags"], r["text"]) for r in logged("add.t")]
    assert got == [("CHANGE", 7, "00000003:..UC", "by name"), (0xABC, None, "00000000:..UC",
                                                                 "by number"),
                   ("ACTION", None, "00000000:..UC", "as bytes")]
    for bad in [dict(cls="NOSUCH"), dict(cls=-1), dict(code=1 << 64), dict(flags=-2)]:
        with pytest.raises(ValueError):
            vek_rir.add("refused", identity="add.t", **bad)
    assert len(logged("add.t")) == 3


def test_kernel_copy_goes_to_the_kernel_log():
    with open("/dev/kmsg", "wb"):
        pass
    vek_rir.add("to the kernel too", identity="kmsg.t", kernel=True)
    with open("/dev/kmsg", "rb") as f:
        assert f.read() == b"kmsg.t:to the kernel too\n\0"


@pytest.mark.parametrize("level,cls", [
    (logging.CRITICAL, "FAIL"), (logging.ERROR, "FAIL"), (logging.WARNING + 5, "EVENT"),
    (logging.WARNING, "EVENT"), (logging.INFO, "STEP"), (logging.DEBUG, "STEP"), (1, "STEP")])
def test_levels_map_to_classes(level, cls):
    handler = Collecting()
    name = "level.%d" % level
    logger = logger_with(handler, name)
    logger.log(level, "at level %d", level)
    logger.log(level, "with a code", extra={"rir_code": 17})
    got = [(r["class"], r["code"], r["text"]) for r in logged(name)]
    assert got == [(cls, None, "at level %d" % level), (cls, 17, "with a code")]
    assert handler.errors == []


@pytest.mark.parametrize("identity,text,stored_identity,stored_text,escaped", [
    ("i" * 40, "t" * 200, "i" * 31, "t" * 175, False),
    # A two-byte character across byte 31, a three-byte one across byte 175: left out whole.
    ("i" * 30 + "\u00e9", "t" * 174 + "\u20ac", "i" * 30, "t" * 174, False),
    ("i" * 29 + "\u00e9", "t" * 172 + "\u20ac", "i" * 29 + "\u00e9", "t" * 172 + "\u20ac", False),
    ("i" * 27 + "\U0001F600x", "t" * 173 + "\U0001F600", "i" * 27 + "\U0001F600", "t" * 173,
     False),
    # Bytes that are no UTF-8 are stored as they are and come back escaped.
    (b"raw\xff", b"\xff\xfe ok", "raw\\xff", "\\xff\\xfe ok", True),
    ("raw", "file \udcff", "raw", "file \\xff", True),
    ("cut", b"\xff" * 180, "cut", "\\xff" * 175, True),
    # A NUL would end the C string: it is kept as the dump shows control characters.
    ("nul", "before\0after", "nul", "before\\x00after", False),
], ids=["long", "two-and-three-byte-across", "two-and-three-byte-fit", "four-byte",
        "bytes", "surrogateescape", "bytes-cut", "nul"])
def test_long_and_non_utf8_texts_are_cut_whole(identity, text, stored_identity, stored_text,
                                               escaped):
    vek_rir.add(text, identity=identity)
    record = vek_rir.records(LIVE)[-1]
    assert (record["identity"], record["text"]) == (stored_identity, stored_text)
    assert record.get("text_escaped", False) == escaped


def test_handler_cuts_the_logger_name_and_message_whole():
    handler = Collecting()
    name = "h" * 28 + "\u00e9\u00e9"
    logger = logger_with(handler, name)
    logger.warning("%s", "m" * 174 + "\u00e9")
    logger.warning("file %s", os.fsdecode(b"name\xff"))
    records = [r for r in vek_rir.records(LIVE) if r["identity"].startswith("h" * 28)]
    assert [(r["identity"], r["text"], r.get("text_escaped")) for r in records] == [
        ("h" * 28 + "\u00e9", "m" * 174, None), ("h" * 28 + "\u00e9", "file name\\xff", True)]
    assert handler.errors == []


def test_handler_under_threads_and_a_fork():
    handler = Collecting()
    logger = logger_with(handler, "threads.t")
    per_thread, threads_count, in_child = 300, 4, 100
    start = threading.Barrier(threads_count + 1)

    def writer(number):
        start.wait(timeout=CHILD_SECONDS)
        for i in range(per_thread):
            logger.info("t%d %d", number, i)

    threads = [threading.Thread(target=writer, args=(n,)) for n in range(threads_count)]
    for thread in threads:
        thread.start()
    start.wait(timeout=CHILD_SECONDS)
    # Forked while the threads log: the child's handler and module locks must be usable.
    pid = os.fork()
    if pid == 0:
        status = 1
        try:
            child = threading.Thread(target=lambda: [logger.info("c %d", i) for i in
                                                     range(in_child // 2)])
            child.start()
            for i in range(in_child // 2, in_child):
                logger.info("c %d", i)
            child.join(CHILD_SECONDS)
            status = 0 if not child.is_alive() and not handler.errors else 2
        finally:
            os._exit(status)
    deadline = time.monotonic() + CHILD_SECONDS
    while True:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            break
        if time.monotonic() > deadline:
            os.kill(pid, signal.SIGKILL)
            os.waitpid(pid, 0)
            pytest.fail("the forked child did not finish logging in time")
        time.sleep(0.01)
    for thread in threads:
        thread.join(CHILD_SECONDS)
        assert not thread.is_alive(), "a logging thread did not finish"
    assert os.waitstatus_to_exitcode(status) == 0
    assert handler.errors == []
    texts = [r["text"] for r in logged("threads.t")]
    expected = ["t%d %d" % (n, i) for n in range(threads_count) for i in range(per_thread)]
    expected += ["c %d" % i for i in range(in_child)]
    assert sorted(texts) == sorted(expected)
    # Each thread's records keep their order.
    for n in range(threads_count):
        mine = [t for t in texts if t.startswith("t%d " % n)]
        assert mine == ["t%d %d" % (n, i) for i in range(per_thread)]


# ---- no live log, no library: the application goes on -----------------------------------------

PROGRAM = r"""
import logging, sys, vek_rir
class Collecting(vek_rir.Handler):
    def handleError(self, record):
        print("handleError:", sys.exc_info()[1])
logging.getLogger().addHandler(Collecting())
logging.error("nowhere to go")
logging.error("still nowhere")
try:
    vek_rir.add("direct")
except vek_rir.Error as error:
    print("Error:", error)
print("went on")
"""


# A machine without /vek_var: a root of its own holding only what the interpreter, the module
# and the library need (the system's directories and the tree's, bound where they are).
NO_VAR_ROOT = r"""
root=$(mktemp -d /vek_tmp/novar.XXXXXX)
mount -t tmpfs novar "$root"
for dir in /usr /etc /proc /dev "$VEK_RIR_TREE"; do
    mkdir -p "$root$dir"
    mount --rbind "$dir" "$root$dir"
done
for dir in /bin /lib /lib64 /sbin; do
    if [ -L "$dir" ]; then cp -P "$dir" "$root$dir"
    elif [ -d "$dir" ]; then mkdir "$root$dir" && mount --rbind "$dir" "$root$dir"; fi
done
exec chroot "$root" "$@"
"""


@pytest.mark.parametrize("case,expected", [
    ("no live log", "unable to open RIR at /vek_var/vek-rir-local.bin"),
    ("no library", "cannot load /vek_tmp/none.so: /vek_tmp/none.so: cannot open shared object "
                   "file: No such file or directory"),
    ("no /vek_var", None),
])
def test_without_a_log_or_library_the_handler_reports_and_the_program_goes_on(case, expected):
    env = dict(os.environ)
    command = [sys.executable, "-c", PROGRAM]
    if case == "no library":
        env["VEK_RIR_LIBRARY"] = "/vek_tmp/none.so"
    elif case == "no live log":
        # A node without a live log: an empty /vek_var of the child's own.
        command = ["unshare", "--mount", "--propagation", "private", "sh", "-c",
                   'mount -t tmpfs empty-var /vek_var && exec "$@"', "sh"] + command
    else:
        tree = os.path.commonpath([os.environ["VEK_RIR_LIBRARY"], vek_rir.__file__])
        env["VEK_RIR_TREE"] = tree
        command = ["unshare", "--mount", "--propagation", "private", "sh", "-c", NO_VAR_ROOT,
                   "sh"] + command
    ran = run(*command, env=env)
    assert ran.returncode == 0, ran.stderr
    if expected is None:
        # The library's add does nothing there, and nothing is reported.
        assert ran.stdout.splitlines() == ["went on"]
        assert ran.stderr == ""
    else:
        assert ran.stdout.splitlines() == ["handleError: " + expected,
                                           "handleError: " + expected,
                                           "Error: " + expected, "went on"]


def test_the_readmes_three_lines_send_a_programs_logging_to_the_log():
    readme = open(os.path.join(os.path.dirname(__file__), "..", "..", "README.md")).read()
    first = "    import logging, vek_rir\n"
    assert first in readme, "no Python example in README.md"
    lines = readme[readme.index(first):].split("\n")
    block = []
    for line in lines:
        if not line.startswith("    "):
            break
        block.append(line[4:])
    assert len(block) == 3, block
    program = "\n".join(block) + '\nlogging.getLogger("readme.t").info("from the %s", "readme")\n'
    ran = run(sys.executable, "-c", program)
    assert ran.returncode == 0 and ran.stderr == "", ran.stderr
    assert [(r["class"], r["text"]) for r in logged("readme.t")] == [("STEP", "from the readme")]
