"""The Python path's cost per record: one writer, 200 untimed calls, then COUNT calls each timed
on its own with perf_counter_ns (whose own cost, printed as "clock", is in every figure).
Prints rows as the C driver does: case, writers, median, p99, p99.9 (ns), ops/s, lost.
Run by scripts/bench_python inside its namespace, with a fresh live log for each case.
Usage: vek_rir_python_bench.py add|handler|ctypes|clock [COUNT]"""

import ctypes
import logging
import sys
import time

import vek_rir

IDENTITY = "bench.py"


def percentile(sorted_ns, fraction):
    return sorted_ns[min(len(sorted_ns) - 1, int(fraction * len(sorted_ns)))]


def timed(call, count):
    for i in range(200):
        call(i)
    clock = time.perf_counter_ns
    spans = []
    begin = clock()
    for i in range(count):
        start = clock()
        call(i)
        spans.append(clock() - start)
    seconds = (clock() - begin) / 1e9
    return sorted(spans), seconds


def main():
    case = sys.argv[1]
    count = int(sys.argv[2]) if len(sys.argv) > 2 else 5000
    if case == "add":
        call = lambda i: vek_rir.add("python record %d" % i, identity=IDENTITY)
    elif case == "handler":
        logger = logging.getLogger(IDENTITY)
        logger.addHandler(vek_rir.Handler())
        logger.propagate = False
        logger.setLevel(logging.INFO)
        call = lambda i: logger.info("python record %d", i)
    elif case == "ctypes":
        # The library called straight through ctypes with ready bytes: what the module's own
        # code (class, cut, encode, attach check) adds is the difference to "add".
        vek_rir.add("attach", identity=IDENTITY)
        lib = vek_rir._library()
        add = lib.vek_rir_if_record_add
        event = vek_rir.CLASSES["EVENT"]
        info = vek_rir._FailureInfo()
        identity = IDENTITY.encode()
        call = lambda i: add(ctypes.byref(info), 0, event, vek_rir.CODE_NA, identity,
                             b"python record")
    elif case == "clock":
        call = lambda i: None
    else:
        sys.exit(__doc__)
    spans, seconds = timed(call, count)
    lost = 0
    if case != "clock":
        stored = sum(1 for r in vek_rir.records("/vek_var/vek-rir-local.bin")
                     if r["identity"] == IDENTITY and r["text"].startswith("python record"))
        lost = max(0, count + 200 - stored)
    print("python-%s\t1\t%d\t%d\t%d\t%.0f\t%d" % (case, percentile(spans, 0.5),
                                                 percentile(spans, 0.99),
                                                 percentile(spans, 0.999), count / seconds, lost))


if __name__ == "__main__":
    main()
