"""The portable core and the vector core give the same results.

The vector core is chosen at run time when the processor has it; the
environment variable LATKEM_PORTABLE=1 forces the portable core for a whole
process.  The same script runs in two fresh interpreters and their outputs are
compared byte for byte.
"""
import json
import os
import subprocess
import sys

import pytest

from kit import PARAMETER_SETS

pytestmark = [pytest.mark.emulated, pytest.mark.slow]

SCRIPT = r"""
import binascii, contextlib, io, json, random, sys
import Latkem

out = []
printed = io.StringIO()
contextlib.redirect_stdout(printed).__enter__()
rng = random.Random(2024)
sets = PARAMETER_SETS
for params in sets:
    for name, value in params.items():
        setattr(Latkem, name, value)
    for trial in range(6):
        Latkem.random = random.Random(rng.getrandbits(64))
        pk, sk = Latkem.CCA_KeyGen()
        m = rng.getrandbits(8 * 32).to_bytes(32, "little")
        c, key = Latkem.CCA_Enc(pk, m)
        forged = c[:10] + (b"0" if c[10:11] != b"0" else b"1") + c[11:]
        out.append([pk.decode(), sk.decode(), c.decode(), key.hex(),
                    Latkem.CCA_Dec(c, sk).hex(), Latkem.CCA_Dec(forged, sk).hex(),
                    Latkem.Dec(forged, sk[:len(sk) - 128 - len(pk)])])
for name, value in sets[0].items():
    setattr(Latkem, name, value)
for trial in range(20):
    f = [rng.randrange(-10**6, 10**6) for _ in range(256)]
    g = [rng.randrange(0, 3329) for _ in range(256)]
    stream = bytes(rng.getrandbits(8) for _ in range(768))
    noise = binascii.hexlify(bytes(rng.getrandbits(8) for _ in range(192)))
    out.append([Latkem.ntt3(f), Latkem.intt3(f), Latkem.ntt3_mul(g, f), Latkem.Parse(stream),
                Latkem.CBD(noise, 3), Latkem.CBD(noise[:256], 2), Latkem.hex_to_bits(noise),
                Latkem.bits_to_bytes(Latkem.hex_to_bits(noise)).hex(),
                Latkem.encode([[g]], 12), Latkem.decode(Latkem.encode([[g]], 12), 12).tolist()])
sys.__stdout__.write(json.dumps([Latkem.H._core, printed.getvalue()] + out))
"""


def run(portable):
    env = dict(os.environ)
    env.pop("LATKEM_PORTABLE", None)
    if portable:
        env["LATKEM_PORTABLE"] = "1"
    script = SCRIPT.replace("PARAMETER_SETS", repr(list(PARAMETER_SETS.values())))
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, env=env)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout)


def test_portable_and_vector_cores_agree():
    vector, portable = run(False), run(True)
    assert portable[0] == "portable"
    if vector[0] == "portable":
        pytest.skip("this processor has no vector core")
    assert len(vector) == len(portable) == 46
    for a, b in zip(vector[1:], portable[1:]):
        assert a == b
