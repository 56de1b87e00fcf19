#!/usr/bin/env python3
"""Time of Enc and Dec for input a peer may send, against a well-formed call.

Each family (a longer text, another container, a text that fails at some
statement) is timed on the native path and shown as a multiple of the
well-formed call of the same function; a family answered by the host path
shows as such (a ratio in the hundreds).  Times are the minimum over several
timeit repeats of the mean time per call.

Usage: python3 bench/hostile.py [--repeat N]
"""
import argparse
import binascii
import random
import timeit

import Latkem


def per_call(fn, args, number, repeat):
    def call():
        try:
            fn(*args)
        except Exception:  # the failing families are timed with their error
            pass
    return min(timeit.repeat(call, number=number, repeat=repeat)) / number


def families():
    random.seed(5)
    pk, sk = Latkem.Genkey(b"b" * 32)
    m, coins = bytes(range(32)), b"ab" * 32
    c = Latkem.Enc(pk, m, coins)
    extra = binascii.hexlify(bytes(range(256)) * 4)
    dec = [
        ("valid", (c, sk)),
        ("ciphertext longer by 2", (c + b"00", sk)),
        ("ciphertext 3 times as long", (c + extra[:2 * len(c)], sk)),
        ("key longer by 2", (c, sk + b"00")),
        ("upper case", (c.upper(), sk.upper())),
        ("str", (c.decode(), sk.decode())),
        ("bytearray", (bytearray(c), bytearray(sk))),
        ("memoryview", (memoryview(c), memoryview(sk))),
        ("multi-byte memoryview", (memoryview(c).cast("I"), sk)),
        ("error: odd length", (c[:-1], sk)),
        ("error: non-hex first", (b"g" + c[1:], sk)),
        ("error: non-hex middle", (c[:700] + b" " + c[701:], sk)),
        ("error: non-hex last", (c[:-1] + b"\xe9", sk)),
        ("error: non-ASCII str", (c.decode()[:-1] + "é", sk)),
        ("error: wrong type", (None, sk)),
        ("error: strided memoryview", (memoryview(c + c)[::2], sk)),
        ("error: key not hex", (c, b"x" + sk[1:])),
        ("error: empty", (b"", sk)),
        ("error: u short by 2", (c[:1278], sk)),
        ("error: v short by 2", (c[:-2], sk)),
        ("error: key short by 2", (c, sk[:-2])),
    ]
    enc = [
        ("valid", (pk, m, coins)),
        ("key longer by 2", (pk + b"00", m, coins)),
        ("key 3 times as long", (pk[:-64] + extra[:2 * len(pk)] + pk[-64:], m, coins)),
        ("message of 100 bytes", (pk, m * 4, coins)),
        ("upper case", (pk.upper(), m, coins.upper())),
        ("str", (pk.decode(), m, coins.decode())),
        ("bytearray", (bytearray(pk), bytearray(m), bytearray(coins))),
        ("memoryview", (memoryview(pk), memoryview(m), memoryview(coins))),
        ("multi-byte memoryview", (memoryview(pk).cast("I"), memoryview(m).cast("H"), coins)),
        ("error: coins odd length", (pk, m, coins[:-1])),
        ("error: message is a str", (pk, "m" * 32, coins)),
        ("error: message of 31 bytes", (pk, m[:31], coins)),
        ("error: message strided memoryview", (pk, memoryview(m + m)[::2], coins)),
        ("error: key odd length", (pk[:-1], m, coins)),
        ("error: key non-hex middle", (pk[:800] + b"z" + pk[801:], m, coins)),
        ("error: key non-ASCII str", ("é" + pk.decode()[1:], m, coins)),
        ("error: key wrong type", (1, m, coins)),
        ("error: key of 31 bytes", (pk[:62], m, coins)),
        ("error: key empty", (b"", m, coins)),
        ("error: key short by 2", (pk[:-2], m, coins)),
        ("error: key of one row", (pk[:768] + pk[-64:], m, coins)),
    ]
    return [("Dec", dec), ("Enc", enc)]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=7)
    options = parser.parse_args()
    print("%-4s %-36s %10s %8s %7s" % ("fn", "family", "us/call", "ratio", "native"))
    for name, rows in families():
        fn = getattr(Latkem, name)
        base = None
        for label, args in rows:
            before = fn._native_calls
            fn_time = per_call(fn, args, number=200, repeat=options.repeat)
            native = fn._native_calls > before
            base = base or fn_time
            print("%-4s %-36s %10.1f %8.2f %7s" % (name, label, fn_time * 1e6, fn_time / base,
                                                   "yes" if native else "NO"))


if __name__ == "__main__":
    main()
