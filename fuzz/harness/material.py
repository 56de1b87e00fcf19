"""Valid material, made once at start-up (make()): keys, ciphertexts and
building-block inputs for the three parameter sets, and every function's
well-formed arguments."""
import binascii
import copy
import random

import numpy as np

from . import state

KEYS = {}       # rank: pk, sk, c, key, cpa_sk, cpa_c
BLOCKS = {}     # inputs of the building blocks
TEMPLATES = {}  # function name: rank: a few recorded argument tuples
VALID = []      # the keys, ciphertexts and blocks, for mutate()


def make():
    make_keys()
    TEMPLATES.clear()
    TEMPLATES.update(record_templates())
    VALID[:] = [
        *(KEYS[r][k] for r in KEYS for k in ("pk", "sk", "c", "cpa_sk", "cpa_c")),
        *BLOCKS.values(),
    ]


def make_keys():
    latkem = state.latkem
    rng = random.Random(2024)
    KEYS.clear()
    for rank in state.PARAMETER_SETS:
        state.use_parameters(rank)
        random.seed(rank)
        pk, sk = latkem.CCA_KeyGen()
        c, key = latkem.CCA_Enc(pk, bytes(rng.getrandbits(8) for _ in range(32)))
        cpa_sk = sk[: 768 * rank]
        KEYS[rank] = dict(pk=pk, sk=sk, c=c, key=key, cpa_sk=cpa_sk,
                          cpa_c=latkem.Enc(pk, bytes(32), b"ab" * 32))
        state.restore()
    coeffs = [rng.randrange(3329) for _ in range(256)]
    BLOCKS.clear()
    BLOCKS.update(
        coeffs=coeffs,
        ntt=latkem.ntt3(coeffs),
        bits="".join(rng.choice("01") for _ in range(256)),
        stream=binascii.hexlify(bytes(rng.getrandbits(8) for _ in range(192))).decode(),
        bytes96=bytes(rng.getrandbits(8) for _ in range(96)),
        seed=bytes(rng.getrandbits(8) for _ in range(32)),
        encoded=latkem.encode([[coeffs]], 12),
        encoded_array=np.array([[coeffs]], dtype=float),
    )


def record_templates():
    """Well-formed arguments of every function for every parameter set: the
    arguments the functions hand one another during a key exchange on the
    host path (every function then calls the others through the module
    globals), recorded by stand-ins.  A few per function, first and last."""
    latkem = state.latkem
    recorded = {}

    def recorder(name, fn):
        def stand_in(*args):
            recorded.setdefault((rank, name), []).append(copy.deepcopy(args))
            return fn(*args)
        return stand_in

    for rank in state.PARAMETER_SETS:
        state.use_parameters(rank)
        state.set_paths(False)
        for name in state.FUNCTIONS:
            setattr(latkem, name, recorder(name, state.ORIGINAL[name]))
        random.seed(rank)
        pk, sk = latkem.CCA_KeyGen()
        c, _ = latkem.CCA_Enc(pk, bytes(range(32)))
        latkem.CCA_Dec(c, sk)
        latkem.CCA_Dec(c[:-2] + (b"00" if c[-2:] != b"00" else b"11"), sk)
        state.restore()
    templates = {}
    for (rank, name), calls in recorded.items():
        picks = []
        for i in (0, 1, len(calls) // 2, len(calls) - 1):
            if 0 <= i < len(calls) and i not in picks:
                picks.append(i)
        templates.setdefault(name, {})[rank] = [calls[i] for i in picks]
    # Not called inside a key exchange: the scalar reductions.
    ranks = state.PARAMETER_SETS
    templates["mont_red"] = {r: [(0,), (1,), (3328 * 3328,), (-3329 * 2 ** 15,)] for r in ranks}
    templates["mont_mul"] = {r: [(1, 1), (3328, 3328), (2285, 17), (-1, 1664)] for r in ranks}
    templates["barrett_red"] = {r: [(0,), (3329,), (2 ** 16 - 1,), (-(2 ** 15),)] for r in ranks}
    assert sorted(templates) == sorted(state.FUNCTIONS), \
        sorted(set(state.FUNCTIONS) - set(templates))
    return templates
