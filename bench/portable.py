#!/usr/bin/env python3
"""Cycles per call of the portable native core (the one every machine without
AVX2 runs), forced with LATKEM_PORTABLE=1 in this process.

Prints, side by side:

* CCA_KeyGen, CCA_Enc and CCA_Dec at kk = 2: cycles per call (time per call
  times the TSC frequency; the first decile of single calls, steadier than a
  batch mean when other processes share the machine) beside published figures of the best native
  implementation of the same lattice operations in portable C (ML-KEM-512),
  and the ratio ours / theirs;
* the same three operations at kk = 3, eta1 = 2 against the `cryptography`
  package's ML-KEM-768, as ratios peer time / our time (skipped, with a note,
  when that peer is not available), and against the host path at the same
  parameters (which runs neither core, timed here beside this one), as
  ratios host time / our time.

The figures are written as JSON, with the date of the run, to
bench/portable.json (or --out FILE); bench/chart.py draws them.
Usage: python3 bench/portable.py [--quick] [--out FILE]
"""
import os
import platform
import sys
import time

os.environ["LATKEM_PORTABLE"] = "1"  # read once, at the first use of the core

import Latkem  # noqa: E402
from bench import (KEM_OPERATIONS, command_line, PEER_NAME, cpu_model, fmt_int,  # noqa: E402
                   fmt_ratio, fmt_time, operations, peer_version, start_peer_part,
                   tsc_frequency)
from kit import host_only, parameters  # noqa: E402

# Published cycle counts of the best native implementation of the same lattice
# operations, portable C, at the 512 size (ML-KEM-512).
PUBLISHED_PORTABLE_CYCLES = {"CCA_KeyGen": 29000, "CCA_Enc": 36000, "CCA_Dec": 47000}


def per_call(func, calls):
    """Seconds per call: the first decile of `calls` calls timed one by one
    (less at the mercy of other processes on a shared machine than the mean
    of a batch), less the cost of timing an empty call."""
    clock = time.perf_counter_ns

    def sample(f):
        times = []
        for _ in range(calls):
            start = clock()
            f()
            times.append(clock() - start)
        times.sort()
        return times[len(times) // 10]

    func()  # warm-up (and first-call caches)
    empty = sample(lambda: None)
    return {"seconds": max(sample(func) - empty, 0) * 1e-9, "calls": calls,
            "statistic": "first decile of single calls"}


def run(quick):
    calls = 300 if quick else 5000
    host_calls = 10 if quick else 100  # a host-path call takes milliseconds
    m = bytes(range(32))
    seed = bytes(range(100, 132))
    coins = bytes(range(200, 232)).hex().encode()
    results = {
        "python": platform.python_implementation() + " " + platform.python_version(),
        "machine": platform.machine(),
        "cpu": cpu_model(),
        "quick": quick,
        "core": "portable (LATKEM_PORTABLE=1)",
    }
    print("Latkem portable core  (%s, %s, %s)%s" % (
        results["python"], results["cpu"], results["machine"], "  [quick]" if quick else ""))

    mhz, source, note = tsc_frequency()
    ops = operations(m, seed, coins)
    rows = {}
    print("\nCycles per call (kk = %d), beside the best native portable C (ML-KEM-512)"
          % Latkem.kk)
    if mhz is None:
        print("  %s" % note)
    else:
        print("  TSC %.3f MHz from %s%s" % (mhz, source, ("; " + note) if note else ""))
        print("  %-12s %10s %10s %12s" % ("operation", "ours", "theirs", "ours/theirs"))
    for name in KEM_OPERATIONS:
        seconds = per_call(ops[name], calls)["seconds"]
        cycles = None if mhz is None else seconds * mhz * 1e6
        theirs = PUBLISHED_PORTABLE_CYCLES[name]
        ratio = None if cycles is None else cycles / theirs
        rows[name] = {"seconds": seconds, "cycles": cycles, "published": theirs, "ratio": ratio}
        if mhz is not None:
            print("  %-12s %10s %10s %12s" % (name, fmt_int(cycles), fmt_int(theirs),
                                              fmt_ratio(ratio)))
    results["cycles"] = {"kk": Latkem.kk, "tsc_mhz": mhz, "source": source, "note": note,
                         "operations": rows}

    peer_ops = start_peer_part(results, "portable core")
    peer_rows, host_rows = {}, {}
    with parameters("rank3"):
        ours_ops = operations(m, seed, coins)
        for name in KEM_OPERATIONS:
            ours = per_call(ours_ops[name], calls)["seconds"]
            with host_only():
                host = per_call(ours_ops[name], host_calls)["seconds"]
            host_rows[name] = {"ours": ours, "host": host, "host_over_ours": host / ours,
                               "host_calls": host_calls}
            if peer_ops is None:
                continue
            peer = per_call(peer_ops[name], calls)["seconds"]
            peer_rows[name] = {"ours": ours, "peer": peer, "peer_over_ours": peer / ours}
            print("  %-12s %12s %12s %12s" % (name, fmt_time(ours), fmt_time(peer),
                                             fmt_ratio(peer / ours)))
    if peer_ops is not None:
        print("  (peer/ours above 1: ours is faster)")
        results["peer"] = {"name": PEER_NAME, "available": True, "version": peer_version(),
                           "operations": peer_rows}
    print("\nHost path at the same size (kk = 3, eta1 = 2; ours as above; first decile "
          "of %d calls)" % host_calls)
    print("  %-12s %12s %12s %12s" % ("operation", "ours/call", "host/call", "host/ours"))
    for name in KEM_OPERATIONS:
        row = host_rows[name]
        print("  %-12s %12s %12s %12s" % (name, fmt_time(row["ours"]), fmt_time(row["host"]),
                                         fmt_ratio(row["host_over_ours"])))
    results["host_kk3"] = {"kk": 3, "eta1": 2, "operations": host_rows}
    return results


def main(argv=None):
    return command_line(__doc__, run, "portable.json", "short runs (figures rough)", argv)


if __name__ == "__main__":
    sys.exit(main())
