#!/usr/bin/env python3
"""Cycles per call of the portable native core (the one every machine without
AVX2 runs), forced with LATKEM_PORTABLE=1 in this process.

Prints, side by side:

* CCA_KeyGen, CCA_Enc and CCA_Dec at kk = 2: cycles per call (time per call
  times the TSC frequency) beside published figures of the best native
  implementation of the same lattice operations in portable C (ML-KEM-512),
  and the ratio ours / theirs;
* the same three operations at kk = 3, eta1 = 2 against the `cryptography`
  package's ML-KEM-768, as ratios peer time / our time (skipped, with a note,
  when that peer is not available).

The figures are written as JSON to bench/portable.json (or --out FILE).
Usage: python3 bench/portable.py [--quick] [--out FILE]
"""
import argparse
import json
import os
import platform
import sys

os.environ["LATKEM_PORTABLE"] = "1"  # read once, at the first use of the core

import Latkem  # noqa: E402
from bench import (KEM_OPERATIONS, PEER_NAME, Parameters, cpu_model, fmt_int,  # noqa: E402
                   fmt_ratio, fmt_time, load_peer, measure, operations, peer_operations,
                   tsc_frequency)

# Published cycle counts of the best native implementation of the same lattice
# operations, portable C, at the 512 size (ML-KEM-512).
PUBLISHED_PORTABLE_CYCLES = {"CCA_KeyGen": 29000, "CCA_Enc": 36000, "CCA_Dec": 47000}


def run(quick):
    target, repeat = (0.02, 3) if quick else (0.2, 9)
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
        seconds = measure(ops[name], target, repeat)["seconds"]
        cycles = None if mhz is None else seconds * mhz * 1e6
        theirs = PUBLISHED_PORTABLE_CYCLES[name]
        ratio = None if cycles is None else cycles / theirs
        rows[name] = {"seconds": seconds, "cycles": cycles, "published": theirs, "ratio": ratio}
        if mhz is not None:
            print("  %-12s %10s %10s %12s" % (name, fmt_int(cycles), fmt_int(theirs),
                                              fmt_ratio(ratio)))
    results["cycles"] = {"kk": Latkem.kk, "tsc_mhz": mhz, "source": source, "note": note,
                         "operations": rows}

    print("\nAgainst %s (ours at kk = 3, eta1 = 2, portable core)" % PEER_NAME)
    cls, reason = load_peer()
    if cls is None:
        print("  peer unavailable, part skipped: %s" % reason)
        results["peer"] = {"name": PEER_NAME, "available": False, "reason": reason}
        return results
    peer_ops = peer_operations(cls)
    peer_rows = {}
    with Parameters(kk=3, eta1=2):
        ours_ops = operations(m, seed, coins)
        print("  %-12s %12s %12s %12s" % ("operation", "ours/call", "peer/call", "peer/ours"))
        for name in KEM_OPERATIONS:
            ours = measure(ours_ops[name], target, repeat)["seconds"]
            peer = measure(peer_ops[name], target, repeat)["seconds"]
            peer_rows[name] = {"ours": ours, "peer": peer, "peer_over_ours": peer / ours}
            print("  %-12s %12s %12s %12s" % (name, fmt_time(ours), fmt_time(peer),
                                             fmt_ratio(peer / ours)))
    print("  (peer/ours above 1: ours is faster)")
    results["peer"] = {"name": PEER_NAME, "available": True, "operations": peer_rows}
    return results


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--quick", action="store_true", help="short runs (figures rough)")
    parser.add_argument("--out", default=os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                                      "portable.json"),
                        help="JSON file to write (default: bench/portable.json)")
    args = parser.parse_args(argv)
    results = run(args.quick)
    with open(args.out, "w", encoding="utf-8") as f:
        json.dump(results, f, indent=2, ensure_ascii=False)
        f.write("\n")
    print("\nFigures written to %s" % args.out)
    return 0


if __name__ == "__main__":
    sys.exit(main())
