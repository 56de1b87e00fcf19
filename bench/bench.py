#!/usr/bin/env python3
"""Speed of Latkem: native path against host path, against a peer, and in cycles.

One run measures, side by side:

* for each operation (CCA_KeyGen, CCA_Enc, CCA_Dec, Genkey, Enc, Dec and a full
  KeyGen + Enc + Dec round trip) at the default parameters (kk = 2): the time
  per call on the native path and on the host path (every one of the 27
  functions switched to its host path), and the ratio host / native;
* at kk = 3, eta1 = 2: the three KEM operations against the `cryptography`
  package's ML-KEM-768, as ratios peer time / our time (skipped, with a note,
  when that package or its ML-KEM-768 is not available), and against the host
  path at the same parameters, as ratios host time / our time;
* the cycles per call of CCA_KeyGen, CCA_Enc and CCA_Dec at kk = 2 (time per
  call times the TSC frequency), beside published figures of the best native
  AVX2 implementation of the same lattice operations (ML-KEM-512).

Times are the minimum over several timeit repeats of the mean time per call in
one repeat. The table is printed and the figures written as JSON, with the
date of the run, to bench/results.json (or the file given with --out);
bench/chart.py draws them.

Usage: python3 bench/bench.py [--quick] [--out FILE]
"""
import argparse
import json
import os
import platform
import re
import subprocess
import sys
import time
import timeit

# The test kit (tests/kit.py): the module's functions, the switch to their
# host paths, the parameter sets.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tests"))

import Latkem  # noqa: E402
from kit import host_only, parameters  # noqa: E402


OPERATIONS = ("CCA_KeyGen", "CCA_Enc", "CCA_Dec", "Genkey", "Enc", "Dec", "round trip")
KEM_OPERATIONS = ("CCA_KeyGen", "CCA_Enc", "CCA_Dec")

# Published cycle counts of the best native AVX2 implementation of the same
# lattice operations at the 512 size (ML-KEM-512): key generation,
# encapsulation, decapsulation (None where no figure was published).
PUBLISHED_CYCLES = {
    "AMD EPYC 3rd generation": {"CCA_KeyGen": 14300, "CCA_Enc": 16800, "CCA_Dec": None},
    "Intel Xeon 4th generation": {"CCA_KeyGen": 12000, "CCA_Enc": 13700, "CCA_Dec": 18000},
}

PEER_NAME = "the `cryptography` package's ML-KEM-768"


# --- timing ----------------------------------------------------------------------------


def measure(func, target, repeat):
    """Seconds per call: minimum over `repeat` runs of `number` calls each, where
    `number` is chosen so that one run lasts about `target` seconds."""
    func()  # warm-up (and first-call caches)
    start = time.perf_counter()
    func()
    once = max(time.perf_counter() - start, 1e-7)
    number = max(1, int(round(target / once)))
    times = timeit.Timer(func).repeat(repeat=repeat, number=number)
    return {"seconds": min(times) / number, "number": number, "repeat": repeat}


def operations(m, seed, coins):
    """The callables measured, on freshly made inputs of the current parameters."""
    pk, sk = Latkem.CCA_KeyGen()
    c, _ = Latkem.CCA_Enc(pk, m)
    pk_cpa, sk_cpa = Latkem.Genkey(seed)
    c_cpa = Latkem.Enc(pk_cpa, m, coins)

    def round_trip():
        pk2, sk2 = Latkem.CCA_KeyGen()
        c2, key = Latkem.CCA_Enc(pk2, m)
        return Latkem.CCA_Dec(c2, sk2) == key

    return {
        "CCA_KeyGen": lambda: Latkem.CCA_KeyGen(),
        "CCA_Enc": lambda: Latkem.CCA_Enc(pk, m),
        "CCA_Dec": lambda: Latkem.CCA_Dec(c, sk),
        "Genkey": lambda: Latkem.Genkey(seed),
        "Enc": lambda: Latkem.Enc(pk_cpa, m, coins),
        "Dec": lambda: Latkem.Dec(c_cpa, sk_cpa),
        "round trip": round_trip,
    }


def seeded_key_pair():
    """CCA_KeyGen() from a fixed seed of `random`, leaving its state as it was."""
    import random
    state = random.getstate()
    random.seed(20240817)
    try:
        return Latkem.CCA_KeyGen()
    finally:
        random.setstate(state)


def paths_agree(m, seed, coins):
    """True when both paths give the same outputs on the same inputs."""

    def outputs():
        pk, sk = seeded_key_pair()
        c, key = Latkem.CCA_Enc(pk, m)
        pk_cpa, sk_cpa = Latkem.Genkey(seed)
        c_cpa = Latkem.Enc(pk_cpa, m, coins)
        return (pk, sk, c, key, Latkem.CCA_Dec(c, sk), pk_cpa, sk_cpa, c_cpa,
                Latkem.Dec(c_cpa, sk_cpa))

    native = outputs()
    with host_only():
        host = outputs()
    return native == host


# --- the peer ----------------------------------------------------------------------------


def load_peer():
    """(private key class, None) or (None, reason it is unavailable)."""
    try:
        from cryptography.hazmat.primitives.asymmetric import mlkem
    except Exception as exc:  # not installed, or a version without ML-KEM
        return None, "cannot import the ML-KEM module of `cryptography` (%s)" % exc
    cls = getattr(mlkem, "MLKEM768PrivateKey", None)
    if cls is None:
        return None, "`cryptography` offers no MLKEM768PrivateKey"
    try:
        key = cls.generate()
        ct_key = key.public_key().encapsulate()
        shared, ct = ct_key if len(ct_key[0]) == 32 else (ct_key[1], ct_key[0])
        if key.decapsulate(ct) != shared:
            return None, "the peer's round trip does not agree"
    except Exception as exc:  # e.g. unsupported by the backend it was built with
        return None, "the peer fails: %s: %s" % (type(exc).__name__, exc)
    return cls, None


def peer_version():
    try:
        import cryptography
        return cryptography.__version__
    except Exception:
        return "unknown"


def peer_operations(cls):
    key = cls.generate()
    public = key.public_key()
    first, second = public.encapsulate()
    ct = second if len(first) == 32 else first
    return {
        "CCA_KeyGen": lambda: cls.generate(),
        "CCA_Enc": lambda: public.encapsulate(),
        "CCA_Dec": lambda: key.decapsulate(ct),
    }


def start_peer_part(results, core):
    """Prints the heading of the comparison with the peer on `core`; its
    operations, or None (noted in `results`) where the peer is missing."""
    print("\nAgainst %s (ours at kk = 3, eta1 = 2, %s)" % (PEER_NAME, core))
    cls, reason = load_peer()
    if cls is None:
        print("  peer unavailable, part skipped: %s" % reason)
        results["peer"] = {"name": PEER_NAME, "available": False, "reason": reason}
        return None
    print("  %-12s %12s %12s %12s" % ("operation", "ours/call", "peer/call", "peer/ours"))
    return peer_operations(cls)


# --- the TSC frequency --------------------------------------------------------------------


def _read(path):
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            return f.read()
    except OSError:
        return None


def _kernel_log():
    for cmd in (["dmesg"], ["journalctl", "-k", "-b", "--no-pager", "-q"]):
        try:
            out = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                 stdin=subprocess.DEVNULL, timeout=10,
                                 universal_newlines=True).stdout
        except (OSError, subprocess.SubprocessError):
            continue
        if out and "tsc" in out.lower():
            return out, " ".join(cmd[:1])
    for path in ("/var/log/kern.log", "/var/log/dmesg"):
        text = _read(path)
        if text and "tsc" in text.lower():
            return text, path
    return None, None


def tsc_frequency():
    """(MHz, source, note) of the time-stamp counter's nominal frequency."""
    khz = _read("/sys/devices/system/cpu/cpu0/tsc_freq_khz")
    if khz and khz.strip().isdigit():
        return int(khz) / 1000.0, "/sys/devices/system/cpu/cpu0/tsc_freq_khz", None
    log, where = _kernel_log()
    if log:
        refined = re.findall(r"tsc: Refined TSC clocksource calibration: ([0-9.]+) MHz", log)
        if refined:
            return float(refined[-1]), "kernel log (%s): refined TSC calibration" % where, None
        detected = re.findall(r"tsc: Detected ([0-9.]+) MHz processor", log)
        if detected:
            return float(detected[-1]), "kernel log (%s): detected TSC frequency" % where, None
    cpuinfo = _read("/proc/cpuinfo") or ""
    mhz = re.findall(r"^cpu MHz\s*:\s*([0-9.]+)", cpuinfo, re.M)
    if mhz:
        return (float(mhz[0]), "/proc/cpuinfo cpu MHz",
                "the current core clock, not necessarily the TSC frequency: cycles approximate")
    return None, None, "no TSC frequency found: cycles not computed"


def cpu_model():
    cpuinfo = _read("/proc/cpuinfo") or ""
    found = re.findall(r"^model name\s*:\s*(.+)$", cpuinfo, re.M)
    return found[0].strip() if found else platform.processor() or "unknown"


# --- formatting ---------------------------------------------------------------------------


def fmt_time(seconds):
    if seconds >= 1.0:
        return "%.3f s" % seconds
    if seconds >= 1e-3:
        return "%.2f ms" % (seconds * 1e3)
    return "%.1f us" % (seconds * 1e6)


def fmt_ratio(value):
    if value is None:
        return "-"
    return ("%.0fx" % value) if value >= 100 else ("%.2fx" % value)


def fmt_int(value):
    return "-" if value is None else "{:,}".format(int(round(value)))


# --- the run ------------------------------------------------------------------------------


def run(quick):
    if quick:
        native_target, native_repeat = 0.02, 3
        host_target, host_repeat = 0.05, 2
    else:
        native_target, native_repeat = 0.2, 7
        host_target, host_repeat = 0.6, 5
    m = bytes(range(32))
    seed = bytes(range(100, 132))
    coins = bytes(range(200, 232)).hex().encode()

    results = {
        "python": platform.python_implementation() + " " + platform.python_version(),
        "machine": platform.machine(),
        "cpu": cpu_model(),
        "core": Latkem.H._core,
        "quick": quick,
        "timing": "timeit: minimum over the repeats of the mean time per call of one repeat",
    }
    print("Latkem benchmark  (%s, %s, %s)%s" % (
        results["python"], results["cpu"], results["machine"], "  [quick]" if quick else ""))

    # 1. native path against host path, default parameters
    print("\nNative path against host path (kk = %d, eta1 = %d)" % (Latkem.kk, Latkem.eta1))
    agree = paths_agree(m, seed, coins)
    print("  outputs of both paths agree: %s" % ("yes" if agree else "NO"))
    ops = operations(m, seed, coins)
    table = {}
    print("  %-12s %12s %12s %12s" % ("operation", "native/call", "host/call", "host/native"))
    for name in OPERATIONS:
        native = measure(ops[name], native_target, native_repeat)
        with host_only():
            host = measure(ops[name], host_target, host_repeat)
        ratio = host["seconds"] / native["seconds"]
        table[name] = {"native": native, "host": host, "host_over_native": ratio}
        print("  %-12s %12s %12s %12s" % (name, fmt_time(native["seconds"]),
                                         fmt_time(host["seconds"]), fmt_ratio(ratio)))
    results["paths"] = {"kk": Latkem.kk, "eta1": Latkem.eta1, "outputs_agree": agree,
                        "operations": table}

    # 2. against the peer at the 768 size, and the host path at the same size
    peer_ops = start_peer_part(results, "native path")
    rows, host_rows = {}, {}
    with parameters("rank3"):
        ours_ops = operations(m, seed, coins)
        for name in KEM_OPERATIONS:
            ours = measure(ours_ops[name], native_target, native_repeat)
            with host_only():
                host = measure(ours_ops[name], host_target, host_repeat)
            host_rows[name] = {"ours": ours, "host": host,
                               "host_over_ours": host["seconds"] / ours["seconds"]}
            if peer_ops is None:
                continue
            peer = measure(peer_ops[name], native_target, native_repeat)
            ratio = peer["seconds"] / ours["seconds"]
            rows[name] = {"ours": ours, "peer": peer, "peer_over_ours": ratio}
            print("  %-12s %12s %12s %12s" % (name, fmt_time(ours["seconds"]),
                                             fmt_time(peer["seconds"]), fmt_ratio(ratio)))
    if peer_ops is not None:
        print("  (peer/ours above 1: ours is faster; the peer draws its own randomness, "
              "ours is given it)")
        results["peer"] = {"name": PEER_NAME, "available": True, "version": peer_version(),
                           "ours_parameters": {"kk": 3, "eta1": 2}, "operations": rows}
    print("\nHost path at the same size (kk = 3, eta1 = 2; ours as above)")
    print("  %-12s %12s %12s %12s" % ("operation", "ours/call", "host/call", "host/ours"))
    for name in KEM_OPERATIONS:
        row = host_rows[name]
        print("  %-12s %12s %12s %12s" % (name, fmt_time(row["ours"]["seconds"]),
                                         fmt_time(row["host"]["seconds"]),
                                         fmt_ratio(row["host_over_ours"])))
    results["host_kk3"] = {"kk": 3, "eta1": 2, "operations": host_rows}

    # 3. cycles at kk = 2 beside the published figures
    mhz, source, note = tsc_frequency()
    print("\nCycles per call (kk = %d, native path), beside the best native AVX2 "
          "implementation (ML-KEM-512)" % results["paths"]["kk"])
    cycles = {"tsc_mhz": mhz, "source": source, "note": note, "published": PUBLISHED_CYCLES,
              "operations": {}}
    if mhz is None:
        print("  %s" % note)
    else:
        print("  TSC %.3f MHz from %s%s" % (mhz, source, ("; " + note) if note else ""))
        cpus = list(PUBLISHED_CYCLES)
        short = {cpu: cpu.replace("generation", "gen") for cpu in cpus}
        print(("  %-12s %10s" % ("", "ours") + "".join("   %-24s" % short[c] for c in cpus)).rstrip())
        print("  %-12s %10s" % ("operation", "cycles")
              + "".join("   %10s %13s" % ("theirs", "ours/theirs") for _ in cpus))
        for name in KEM_OPERATIONS:
            ours = table[name]["native"]["seconds"] * mhz * 1e6
            entry = {"cycles": ours, "ratio": {}}
            line = "  %-12s %10s" % (name, fmt_int(ours))
            for cpu in cpus:
                theirs = PUBLISHED_CYCLES[cpu][name]
                ratio = None if theirs is None else ours / theirs
                entry["ratio"][cpu] = ratio
                line += "   %10s %13s" % (fmt_int(theirs), fmt_ratio(ratio))
            cycles["operations"][name] = entry
            print(line)
    results["cycles"] = cycles
    return results


def command_line(doc, run_fn, default_file, quick_help, argv=None):
    """Parses --quick and --out, runs run_fn(quick) and writes its figures as
    JSON (default: bench/<default_file>), with the date the run began."""
    parser = argparse.ArgumentParser(description=doc.split("\n")[0])
    parser.add_argument("--quick", action="store_true", help=quick_help)
    parser.add_argument("--out", default=os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                                      default_file),
                        help="JSON file to write (default: bench/%s)" % default_file)
    args = parser.parse_args(argv)
    date = time.strftime("%Y-%m-%d")
    results = run_fn(args.quick)
    results.setdefault("date", date)
    with open(args.out, "w", encoding="utf-8") as f:
        json.dump(results, f, indent=2, ensure_ascii=False)
        f.write("\n")
    print("\nFigures written to %s" % args.out)
    return 0


def main(argv=None):
    return command_line(__doc__, run, "results.json",
                        "short runs and few repeats (a smoke run, figures rough)", argv)


if __name__ == "__main__":
    sys.exit(main())
