#!/usr/bin/env python3
"""Throughput of the KEM operations from one thread and from several at once.

For each of CCA_KeyGen, CCA_Enc and CCA_Dec (module parameters as bound,
native path), and the same three operations of the `cryptography` package's
ML-KEM-768 measured the same way in the same run: the calls per second that 1
thread and N threads (N = the number of cores) complete together, and the
scaling N-thread / 1-thread throughput.  A threaded server gets all its cores'
worth where the scaling is close to N.

Each figure is a run of a fixed length in which every thread calls the
operation in a loop from a common start; the runs of 1 and of N threads
alternate, and are repeated.  Reported: the best and the median throughput
of the repeats, and the scaling from the medians and from the bests.  Other processes on the
machine take cores from the N-thread runs first: each run also records the
share of the machine's processor time that went to other processes, and the
figures are only as good as that share is low.

What the machine itself allows at the time is measured the same way: a
SHA3-256 of 64 KiB by the host's hashlib, which releases the host's lock
for the whole digest (the "ceiling" rows).  Its scaling falls short of N
when the cores are shared with other work or with each other.  And what it
allows a call as short as ours (the "eq-len" rows): the same digest over a
buffer sized at run time so that one digest takes as long as one call of
the operation from one thread.  The host still takes its lock around such
a call (argument handling, the result object), so no native call of that
length scales better; hashlib keeps its lock for inputs under 2 KiB, so a
buffer is never made shorter (the row then says so).

The table is printed and the figures written as JSON to
bench/threads.json (or the file given with --out).

Usage: python3 bench/threads.py [--quick] [--out FILE]
"""
import os
import platform
import statistics
import sys
import threading
import time

import Latkem
from bench import PEER_NAME, command_line, cpu_model, load_peer, peer_operations, peer_version

OPERATIONS = ("CCA_KeyGen", "CCA_Enc", "CCA_Dec")


def ceiling():
    import hashlib

    data = bytes(65536)
    digest = lambda: hashlib.sha3_256(data).digest()
    return {name: digest for name in OPERATIONS}


# hashlib digests inputs of at least this many bytes with the host's lock released.
UNLOCKED_MIN = 2048


def seconds_per_call(func, seconds=0.2):
    """The best of 5 runs of the mean time of one call, each run about `seconds`."""
    func()
    number = 1
    while True:
        start = time.perf_counter()
        for _ in range(number):
            func()
        took = time.perf_counter() - start
        if took >= seconds / 10:
            break
        number *= 4
    number = max(1, int(number * (seconds / 5) / took))
    best = None
    for _ in range(5):
        start = time.perf_counter()
        for _ in range(number):
            func()
        took = (time.perf_counter() - start) / number
        best = took if best is None else min(best, took)
    return best


def digest_of(size):
    import hashlib

    data = bytes(size)
    return lambda: hashlib.sha3_256(data).digest()


def equal_length(ops):
    """For each operation, a digest whose one call lasts as long as one call of
    the operation: its size from a straight line through the times of two
    sizes (a fixed cost per call and one per byte), never under UNLOCKED_MIN,
    in whole blocks of the hash's rate (136 bytes).  Also the sizes and times."""
    small, large = 4096, 65536
    t_small = seconds_per_call(digest_of(small))
    t_large = seconds_per_call(digest_of(large))
    per_byte = (t_large - t_small) / (large - small)
    fixed = t_small - per_byte * small
    digests, info = {}, {}
    for name in OPERATIONS:
        target = seconds_per_call(ops[name])
        size = int(round((target - fixed) / per_byte / 136.0)) * 136
        clamped = size < UNLOCKED_MIN
        size = max(size, UNLOCKED_MIN)
        digests[name] = digest_of(size)
        info[name] = {"call_seconds": target, "digest_bytes": size,
                      "digest_seconds": seconds_per_call(digests[name]),
                      "clamped_to_unlocked_min": clamped}
    return digests, {"per_byte_seconds": per_byte, "fixed_seconds": fixed,
                     "operations": info}


def ours():
    pk, sk = Latkem.CCA_KeyGen()
    m = bytes(range(32))
    c, _ = Latkem.CCA_Enc(pk, m)
    return {
        "CCA_KeyGen": lambda: Latkem.CCA_KeyGen(),
        "CCA_Enc": lambda: Latkem.CCA_Enc(pk, m),
        "CCA_Dec": lambda: Latkem.CCA_Dec(c, sk),
    }


# --- the machine's load ------------------------------------------------------------------


def busy_ticks():
    """Processor time (in clock ticks) the whole machine has spent busy."""
    try:
        with open("/proc/stat", encoding="ascii") as f:
            fields = [int(x) for x in f.readline().split()[1:]]
    except (OSError, ValueError):
        return None
    idle = fields[3] + (fields[4] if len(fields) > 4 else 0)  # idle and iowait
    return sum(fields[:8]) - idle


def own_seconds():
    t = os.times()
    return t.user + t.system


class Load:
    """The share of the machine's processor time that other processes took
    while the block ran (None where the system does not tell)."""

    def __enter__(self):
        self.ticks, self.own, self.wall = busy_ticks(), own_seconds(), time.perf_counter()
        return self

    def __exit__(self, *exc):
        wall = time.perf_counter() - self.wall
        ticks = busy_ticks()
        self.others = None
        if ticks is not None and self.ticks is not None:
            hz = os.sysconf("SC_CLK_TCK")
            others = (ticks - self.ticks) / hz - (own_seconds() - self.own)
            self.others = max(0.0, others / (wall * (os.cpu_count() or 1)))
        return False


# --- one run ------------------------------------------------------------------------------


def throughput(func, threads, seconds):
    """Calls per second that `threads` threads calling `func` in a loop
    complete together in a run of about `seconds`; and the others' load."""
    start = threading.Barrier(threads + 1)
    stop = threading.Event()
    counts = [0] * threads
    ends = [0.0] * threads
    failures = []

    def work(i):
        try:
            func()  # outside the run: first-call caches
            start.wait()
            n = 0
            while not stop.is_set():
                for _ in range(16):
                    func()
                n += 16
            counts[i] = n
            ends[i] = time.perf_counter()
        except BaseException as exc:  # reported by the main thread
            failures.append(exc)
            start.abort()

    pool = [threading.Thread(target=work, args=(i,)) for i in range(threads)]
    for t in pool:
        t.start()
    with Load() as load:
        start.wait()
        began = time.perf_counter()
        time.sleep(seconds)
        stop.set()
        for t in pool:
            t.join()
    if failures:
        raise failures[0]
    return sum(counts) / (max(ends) - began), load.others


def measure(func, cores, seconds, repeat):
    """1 and `cores` threads, alternating, `repeat` times each."""
    runs = {1: [], cores: []}
    loads = {1: [], cores: []}
    for _ in range(repeat):
        for threads in (1, cores):
            rate, others = throughput(func, threads, seconds)
            runs[threads].append(rate)
            loads[threads].append(others)
    known = [x for x in loads[1] + loads[cores] if x is not None]
    one, many = statistics.median(runs[1]), statistics.median(runs[cores])
    return {
        "one_thread": {"best": max(runs[1]), "median": one, "runs": runs[1],
                       "others_load": loads[1]},
        "threads": {"count": cores, "best": max(runs[cores]), "median": many,
                    "runs": runs[cores], "others_load": loads[cores]},
        "scaling": many / one,
        "scaling_best": max(runs[cores]) / max(runs[1]),
        "others_load": {"min": min(known), "median": statistics.median(known),
                        "max": max(known)} if known else None,
    }


# --- the run ------------------------------------------------------------------------------


def fmt_rate(value):
    return "{:,.0f}/s".format(value)


def run(quick):
    seconds, repeat = (0.2, 2) if quick else (1.0, 5)
    cores = os.cpu_count() or 1
    target = 0.9 * cores
    results = {
        "python": platform.python_implementation() + " " + platform.python_version(),
        "machine": platform.machine(),
        "cpu": cpu_model(),
        "cores": cores,
        "core": Latkem.H._core,
        "quick": quick,
        "parameters": {name: getattr(Latkem, name) for name in ("kk", "eta1", "eta2", "du", "dv")},
        "timing": "calls per second of runs of %.1f s; 1 and %d threads alternating, %d runs "
                  "each; scaling from the medians" % (seconds, cores, repeat),
        "target_scaling": target,
        "load_before": os.getloadavg() if hasattr(os, "getloadavg") else None,
    }
    print("Latkem thread scaling  (%s, %s, %d cores, core %s)%s" % (
        results["python"], results["cpu"], cores, results["core"], "  [quick]" if quick else ""))
    if cores < 2:
        print("  one core: nothing to scale")
    our_ops = ours()
    equal, calibration = equal_length(our_ops)
    results["equal_length_calibration"] = calibration
    print("  eq-len: SHA3-256 digests as long as one call of ours (1 thread):")
    for name in OPERATIONS:
        x = calibration["operations"][name]
        print("    %-12s ours %6.2f us, digest of %6d B %6.2f us%s" % (
            name, 1e6 * x["call_seconds"], x["digest_bytes"], 1e6 * x["digest_seconds"],
            "  (raised to the %d B hashlib digests unlocked)" % UNLOCKED_MIN
            if x["clamped_to_unlocked_min"] else ""))
    contenders = [("hashlib SHA3-256 of 64 KiB", "ceiling", ceiling()),
                  ("hashlib SHA3-256 as long as one call of ours", "eq-len", equal),
                  ("Latkem (kk = %d)" % Latkem.kk, "ours", our_ops)]
    cls, reason = load_peer()
    if cls is None:
        print("  peer unavailable: %s" % reason)
        results["peer"] = {"name": PEER_NAME, "available": False, "reason": reason}
    else:
        version = peer_version()
        contenders.append((PEER_NAME, "peer", peer_operations(cls)))
        results["peer"] = {"name": PEER_NAME, "available": True, "version": version,
                           "operations": {}}
    print("  %-12s %-7s %13s %13s %13s %13s %8s %8s %14s" % (
        "operation", "who", "1 thr best", "1 thr median", "%d thr best" % cores,
        "%d thr median" % cores, "scaling", "of bests", "others' load"))
    for name in OPERATIONS:
        for label, key, ops in contenders:
            figures = measure(ops[name], cores, seconds, repeat)
            results.setdefault(key, {"name": label, "operations": {}})["operations"][name] = figures
            load = figures["others_load"]
            print("  %-12s %-7s %13s %13s %13s %13s %7.2fx %7.2fx %14s" % (
                name, key, fmt_rate(figures["one_thread"]["best"]),
                fmt_rate(figures["one_thread"]["median"]), fmt_rate(figures["threads"]["best"]),
                fmt_rate(figures["threads"]["median"]), figures["scaling"],
                figures["scaling_best"],
                "-" if load is None else "%.0f%% (max %.0f%%)" % (100 * load["median"],
                                                                 100 * load["max"])))
    results["load_after"] = os.getloadavg() if hasattr(os, "getloadavg") else None
    print("  (scaling: %d-thread over 1-thread median throughput; target %.1fx; ceiling: what "
          "the machine allows now; eq-len: what it allows a call as long as ours; others' "
          "load: share of all cores busy with other processes)" % (cores, target))
    return results


def main(argv=None):
    return command_line(__doc__, run, "threads.json",
                        "short runs and few repeats (a smoke run, figures rough)", argv)


if __name__ == "__main__":
    sys.exit(main())
