#!/usr/bin/env python3
"""Speed of Latkem on hostile input: what a peer may send instead of a valid
key or ciphertext, against a valid call of the same operation.

For Dec, Enc, CCA_Enc and CCA_Dec, each family of hostile input (too long,
too short, odd length, a character that is not a hex digit, upper case, each
container binascii reads, a str beyond ASCII, the wrong type) is timed side by
side with a valid call (timeit, interleaved repeats, minimum per call), and
shown as the ratio hostile / valid beside its target: a call that gives a
result should take at most 3 times a valid call, one that raises at most 20
times.  The column "path" says whether the native path answered the call.
Where CCA_Enc or CCA_Dec hands a refused input to the callee that raises (Dec,
Enc or H), the column "own" leaves that callee's time out: what remains is the
caller's own part (where the callee takes milliseconds, as on its host path,
the difference is within the noise of the two timings).

The table is printed and the figures written as JSON to bench/hostile.json
(or the file given with --out).

Usage: python3 bench/hostile.py [--quick] [--out FILE]
"""
import binascii
import hashlib
import os
import platform
import sys
import timeit

import Latkem
from bench import command_line, cpu_model, fmt_ratio, fmt_time, seeded_key_pair

RESULT_TARGET = 3.0
ERROR_TARGET = 20.0


def outcome(call):
    """("result", type name) or ("error", exception type name) of one call."""
    try:
        value = call()
    except Exception as exc:  # the outcome is what is measured
        return "error", type(exc).__name__
    return "result", type(value).__name__


def quiet(call):
    """The call with its exception swallowed, for timing."""
    def run():
        try:
            call()
        except Exception:  # timed alike whether it raises or not
            pass
    return run


def went_native(fn, call):
    before = fn._native_calls
    quiet(call)()
    return fn._native_calls > before


def number_for(func, target):
    """Calls per timing run, so that one run lasts about `target` seconds."""
    once = min(timeit.Timer(func).repeat(repeat=3, number=1))
    return max(1, int(round(target / max(once, 1e-7))))


def side_by_side(*calls, target, repeat):
    """Seconds per call of each, the repeats of all of them interleaved."""
    timers = [timeit.Timer(call) for call in calls]
    numbers = [number_for(call, target) for call in calls]
    best = [float("inf")] * len(calls)
    for _ in range(repeat):
        for i, timer in enumerate(timers):
            best[i] = min(best[i], timer.timeit(numbers[i]) / numbers[i])
    return best


def hex_forms():
    """Families of hostile hex text, made from the valid bytes text."""
    return [
        ("long by 2", lambda t: t + b"00"),
        ("much longer (x4)", lambda t: t * 4),
        ("short by 2", lambda t: t[:-2]),
        ("empty", lambda t: b""),
        ("odd length", lambda t: t + b"0"),
        ("non-hex at start", lambda t: b"g" + t[1:]),
        ("non-hex at end", lambda t: t[:-1] + b"g"),
        ("upper case", lambda t: t.upper()),
        ("str", lambda t: t.decode()),
        ("str, non-ASCII", lambda t: t.decode()[:-1] + "\u00e9"),
        ("bytearray", bytearray),
        ("bytearray, long by 2", lambda t: bytearray(t + b"00")),
        ("memoryview", memoryview),
        ("memoryview, short by 2", lambda t: memoryview(t[:-2])),
        ("wrong type (int)", lambda t: 12345),
    ]


def callee_entry(call):
    """(name, line) of the innermost traceback entry of the module below the
    called function when the call raises inside a callee, else None."""
    try:
        call()
    except Exception as exc:  # where it was raised is what is looked at
        entries = []
        tb = exc.__traceback__
        while tb is not None:
            if tb.tb_frame.f_code.co_filename == "latkem_alg\\Latkem":
                entries.append((tb.tb_frame.f_code.co_name[len("Latkem."):], tb.tb_lineno))
            tb = tb.tb_next
        return entries[1] if len(entries) > 1 else None
    return None


def cases():
    """Rows: operation, family, the valid call, the hostile call, and for a
    call of CCA_Enc or CCA_Dec that raises inside Dec, Enc or H, that callee
    on the arguments it is handed (its time is the callee's, not the caller's)."""
    pk, sk = seeded_key_pair()
    m = bytes(range(32))
    coins = bytes(range(200, 232)).hex().encode()
    c, _ = Latkem.CCA_Enc(pk, m)
    pk_cpa, sk_cpa = pk, sk[:1536]
    c_cpa = Latkem.Enc(pk_cpa, m, coins)
    m_hash = hashlib.sha3_256(m).digest()

    def enc_args(key):
        """What CCA_Enc hands Enc for a key that H takes."""
        digest = hashlib.sha3_256(binascii.unhexlify(key)).digest()
        return m_hash, binascii.hexlify(hashlib.sha3_512(m_hash + digest).digest()[32:])

    rows = []

    def row(op, family, valid, hostile, callee=None):
        rows.append({"op": op, "family": family, "valid": valid, "hostile": hostile,
                     "callee": callee})

    bind = lambda f, x: lambda: f(x)  # noqa: E731
    for family, form in hex_forms():
        row("Dec", "ciphertext " + family, lambda: Latkem.Dec(c_cpa, sk_cpa),
            bind(lambda x: Latkem.Dec(x, sk_cpa), form(c_cpa)))
    for family, form in hex_forms():
        row("Enc", "public key " + family, lambda: Latkem.Enc(pk_cpa, m, coins),
            bind(lambda x: Latkem.Enc(x, m, coins), form(pk_cpa)))
    for family, message in (("message bytearray", bytearray(m)),
                            ("message memoryview", memoryview(m)),
                            ("message short (31 bytes)", m[:31]), ("message str", m.hex())):
        row("Enc", family, lambda: Latkem.Enc(pk_cpa, m, coins),
            bind(lambda x: Latkem.Enc(pk_cpa, x, coins), message))
    for family, form in hex_forms():
        key = form(pk)
        hostile = bind(lambda x: Latkem.CCA_Enc(x, m), key)
        callee = None
        entry = callee_entry(hostile)
        if entry and entry[0] == "Enc":
            callee = bind(lambda a: Latkem.Enc(*a), (key,) + enc_args(key))
        elif entry and entry[0] == "H":
            callee = bind(Latkem.H, key)
        row("CCA_Enc", "public key " + family, lambda: Latkem.CCA_Enc(pk, m), hostile, callee)
    for family, message in (("message bytearray", bytearray(m)),
                            ("message memoryview", memoryview(m)), ("message of 1 kB", m * 32),
                            ("message str", m.hex()), ("message wrong type (int)", 7)):
        row("CCA_Enc", family, lambda: Latkem.CCA_Enc(pk, m),
            bind(lambda x: Latkem.CCA_Enc(pk, x), message))
    for family, form in hex_forms():
        text = form(c)
        hostile = bind(lambda x: Latkem.CCA_Dec(x, sk), text)
        entry = callee_entry(hostile)
        callee = None
        if entry and entry[0] == "Dec":
            callee = bind(lambda x: Latkem.Dec(x, sk[:1536]), text)
        row("CCA_Dec", "ciphertext " + family, lambda: Latkem.CCA_Dec(c, sk), hostile, callee)
    return rows


def run(quick):
    target, repeat = (0.01, 3) if quick else (0.1, 7)
    results = {
        "python": platform.python_implementation() + " " + platform.python_version(),
        "machine": platform.machine(),
        "cpu": cpu_model(),
        "quick": quick,
        "timing": "timeit: minimum over interleaved repeats of the mean time per call",
        "targets": {"result": RESULT_TARGET, "error": ERROR_TARGET},
        "rows": [],
    }
    print("Latkem on hostile input  (%s, %s, %s)%s" % (
        results["python"], results["cpu"], results["machine"], "  [quick]" if quick else ""))
    print("  ratio = hostile call / valid call of the same operation; target: result <= %gx, "
          "error <= %gx" % (RESULT_TARGET, ERROR_TARGET))
    print("  own = the same less the time of the callee that raises (Dec, Enc or H on the "
          "arguments it is handed), where one does")
    line = "  %-8s %-36s %-22s %-6s %10s %10s %8s %8s %6s %s"
    print(line % ("op", "input", "outcome", "path", "valid", "hostile", "ratio", "own", "target",
                  ""))
    missed = 0
    stdout = sys.stdout
    with open(os.devnull, "w", encoding="utf-8") as sink:
        sys.stdout = sink  # the rejection lines of CCA_Dec
        try:
            rows = cases()
        finally:
            sys.stdout = stdout
        for r in rows:
            fn = getattr(Latkem, r["op"])
            sys.stdout = sink
            try:
                kind, what = outcome(r["hostile"])
                native = went_native(fn, r["hostile"])
                calls = [quiet(r["valid"]), quiet(r["hostile"])]
                if r["callee"] is not None:
                    calls.append(quiet(r["callee"]))
                times = side_by_side(*calls, target=target, repeat=repeat)
                valid_s, hostile_s = times[:2]
                callee_s = times[2] if r["callee"] is not None else None
            finally:
                sys.stdout = stdout
            ratio = hostile_s / valid_s
            own = None if callee_s is None else max(hostile_s - callee_s, 0.0) / valid_s
            goal = RESULT_TARGET if kind == "result" else ERROR_TARGET
            ok = ratio <= goal
            missed += not ok
            print(line % (r["op"], r["family"], "%s %s" % (kind, what),
                          "native" if native else "host",
                          fmt_time(valid_s), fmt_time(hostile_s), fmt_ratio(ratio), fmt_ratio(own),
                          "%gx" % goal, "" if ok else "MISSED"))
            results["rows"].append({
                "operation": r["op"], "input": r["family"], "outcome": kind, "type": what,
                "native": native, "valid_seconds": valid_s, "hostile_seconds": hostile_s,
                "ratio": ratio, "callee_seconds": callee_s, "own_ratio": own, "target": goal,
                "met": ok})
    count = len(results["rows"])
    print("  %d of %d rows within their target" % (count - missed, count))
    results["missed"] = missed
    return results


def main(argv=None):
    return command_line(__doc__, run, "hostile.json",
                        "short runs and few repeats (a smoke run, figures rough)", argv)


if __name__ == "__main__":
    sys.exit(main())
