"""Writes the seed corpora of both fuzz targets, deterministically:

  fuzz/corpus/module/   inputs of fuzz_module.py, in its own encoding
                        (harness/encoding.py): every function called with the
                        arguments it gets in a key exchange, for each
                        parameter set, unchanged and with a few structured
                        changes; key exchanges with changed ciphertexts;
                        rebindings followed by calls.
  fuzz/corpus/native/   inputs of fuzz_native.cpp: valid keys, ciphertexts,
                        hex texts and packed polynomials for each parameter
                        set, made by the module.

Run from anywhere with the fuzzing environment (the coverage build of the
module importable, atheris's sanitizer runtime preloaded; see
fuzz/README.md):
    python fuzz/make_corpus.py [--all] [--add DIR]...
The module seeds are then reduced by libFuzzer's merge to those that add
coverage (all of them take longer to load than the CI step runs); --all
keeps them all.  The directories are emptied first, so the result depends
only on this file, the harness and the module build.  The dictionaries
fuzz/module.dict and fuzz/native.dict are written too.
"""
import binascii
import os
import random
import shutil
import subprocess
import sys
import tempfile

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
# The test kit (tests/kit.py), which the harness shares.
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tests"))
import kit  # noqa: E402
from harness import calls, changes, faults, material, startup, state, steps  # noqa: E402
from harness.encoding import Reader, Writer  # noqa: E402
from harness.values import Tick  # noqa: E402


def fresh(path):
    shutil.rmtree(path, ignore_errors=True)
    os.makedirs(path)
    return path


def begin(count):
    """The start of an input of `count` steps."""
    return Writer().int_in(1, steps.MAX_STEPS, count)


def one_step(step):
    return begin(1).raw(step).bytes()


def well_formed(*args, **kwargs):
    """A well-formed call step (changes.write_well_formed's arguments)."""
    writer = steps.write_step(Writer(), "well_formed")
    return changes.write_well_formed(writer, *args, **kwargs).bytes()


def fault(*args, **kwargs):
    """A fault step (faults.write_fault's arguments)."""
    return faults.write_fault(steps.write_step(Writer(), "fault"), *args, **kwargs).bytes()


def run_fault(*args, **kwargs):
    """A fault step run as in an input, the module left as the step left it
    (state.restore() puts it back); the step's counter of calls."""
    return faults.fault_call(Reader(faults.write_fault(Writer(), *args, **kwargs).bytes()))


def well_formed_seeds(files, rng):
    """Every function's well-formed calls for every parameter set, unchanged
    and with each kind of change."""
    for name in state.FUNCTIONS:
        nargs = len(state.PARAMS[name])
        for rank in (2, 3, 4):
            templates = len(material.TEMPLATES[name][rank])
            for t in range(templates):
                files["wf-%s-r%d-t%d" % (name, rank, t)] = one_step(well_formed(name, rank, t))
            if not nargs:
                continue
            # One change of each kind, spread over the arguments.
            for kind in range(changes.CHANGE_KINDS):
                change = (kind % nargs, kind, rng.randrange(0x10000), rng.randrange(0x100))
                files["wf-%s-r%d-c%d" % (name, rank, kind)] = one_step(
                    well_formed(name, rank, kind % templates, changes=[change]))
            # Hostile texts where an attacker chooses them (the ciphertext,
            # the public key, the message): a character or two short or
            # long, upper case, each kind of container.
            if name in ("CCA_Dec", "Dec", "CCA_Enc", "Enc"):
                for index in range(min(nargs, 2)):
                    hostile = [(2, 0), (2, 1), (3, 0), (3, 1), (4, 0)]
                    hostile += [(7, container) for container in range(8)]
                    for kind, val in hostile:
                        files["wf-%s-r%d-hostile%d-%d-%d" % (name, rank, index, kind, val)] = \
                            one_step(well_formed(name, rank, 0, changes=[(index, kind, 0, val)]))
            # Elements that run out, in each list or array argument, after
            # a number of uses spread on a logarithmic scale.
            for index, arg in enumerate(material.TEMPLATES[name][rank][0]):
                if isinstance(arg, (list, tuple, np.ndarray)):
                    for e in range(0, 16, 1 if rank == 2 else 4):
                        files["wf-%s-r%d-tick%d-%d" % (name, rank, index, e)] = one_step(
                            well_formed(name, rank, 0, changes=[(index, 10, e * 4096, 0)]))
            # Another n: loops of another length.
            for other_n in range(4, 8):
                files["wf-%s-r%d-n%d" % (name, rank, other_n)] = one_step(
                    well_formed(name, rank, 0, globals_rank=other_n))
            # The globals of another parameter set; keyword binding.
            files["wf-%s-r%d-g" % (name, rank)] = one_step(
                well_formed(name, rank, 0, globals_rank=1 + (rank - 1) % 3))
            files["wf-%s-r%d-kw" % (name, rank)] = one_step(
                well_formed(name, rank, 0, binding=1 + rank % 2))


def fault_seeds(files, rng):
    """Faults: at the first and the last call of every callable the larger
    functions use (found by running them), and at every few calls of any."""
    for name in ("Genkey", "Enc", "Dec", "CCA_KeyGen", "CCA_Enc", "CCA_Dec", "decode",
                 "encode", "ntt3", "intt3", "ntt3_mul", "CBD", "generate_mat_a", "Parse",
                 "hex_to_bits", "bits_to_bytes", "H", "G", "PRF", "XOF", "kdf"):
        for rank in (2, 3, 4):
            for host in (False, True):
                calls = run_fault(name, rank, host=host, at=0xFFFF, target=None).calls
                state.restore()
                if rank != 2:  # the other ranks: the first call of each only
                    calls = {k: 1 for k in calls}
                for n, (target, count) in enumerate(sorted(calls.items())):
                    if target not in faults.targets():
                        continue
                    for at in sorted({0, min(count - 1, 31)}):
                        files["fault-%s-r%d-h%d-%s-%d" % (name, rank, host, target, at)] = \
                            one_step(fault(name, rank, 0, host, at, target,
                                           action=(n + at) % faults.FAULT_ACTIONS,
                                           arg=rng.randrange(256)))
            for n, at in enumerate((1, 2, 3, 5, 8, 13, 30, 100, 300, 700, 1500)):
                files["fault-%s-r%d-any-%d" % (name, rank, at)] = one_step(fault(
                    name, rank, n % 2, host=bool(n % 3), at=at,
                    action=n % faults.FAULT_ACTIONS, arg=rng.randrange(256)))


def places(name, rank, host, action, arg, limit):
    """The fault at points spread on a logarithmic scale up to limit, one
    point kept for each place (the traceback's entries) the call then
    fails at."""
    found = {}
    at = 0
    while at <= limit:
        run_fault(name, rank, 0, host, at, action=action, arg=arg)
        state.restore()
        if calls.LAST_FAILURE and calls.LAST_FAILURE not in found:
            found[calls.LAST_FAILURE] = at
        at = max(at + 1, int(at * 1.01))
    return sorted(found.values())


def running_out_seeds(files):
    """Parameters that run out, and one memory allocation failing: for each
    parameter a function uses (and for memory, on either path), the call run
    with the fault at points spread over the uses (allocations): the
    failures in the middle of the loops, each statement's own."""
    for name in state.FUNCTIONS:
        for rank in (2, 3, 4):
            for index, param in enumerate(faults.TICK_PARAMS):
                run_fault(name, rank, host=True, at=0xFFFF, action=faults.TICK, arg=index)
                tick = state.MODULE.get(param)
                used = min(0xFFFF - tick.left, 0xFFFF) if isinstance(tick, Tick) else 0
                state.restore()
                if not used:
                    continue
                if rank != 2:
                    points = sorted({0, used // 2, used - 1})
                else:
                    points = places(name, rank, True, faults.TICK, index, used - 1)
                for at in points:
                    files["tick-%s-r%d-%s-%d" % (name, rank, param, at)] = one_step(
                        fault(name, rank, 0, True, at, action=faults.TICK, arg=index))
            if faults.STARVE is None:
                continue
            for host in (False, True):
                if rank != 2:
                    points = [0, 30, 1000]
                else:
                    points = places(name, rank, host, faults.NOMEM, 0, 0xFFFF)
                if rank == 2 and host and name in ("Genkey", "Enc", "Dec", "CCA_KeyGen",
                                                   "CCA_Enc", "CCA_Dec"):
                    # The next few allocations after each: the other calls of
                    # the same iteration of a loop, each failing in its turn.
                    points = sorted({min(p + d, 0xFFFF) for p in points for d in range(12)})
                for at in points:
                    files["nomem-%s-r%d-h%d-%d" % (name, rank, host, at)] = one_step(
                        fault(name, rank, 0, host, at, action=faults.NOMEM))


def other_seeds(files, rng):
    """Both cores, the function objects, key exchanges, rebindings and calls
    with arbitrary arguments."""
    # Both cores: the switch, then a well-formed call.
    for name in state.FUNCTIONS:
        for rank in (2, 4):
            files["portable-%s-r%d" % (name, rank)] = (
                steps.write_step(begin(2), "switch_core").bool(True)
                .raw(well_formed(name, rank)).bytes())

    # The function objects.
    for kind in range(12):
        for value in range(0, len(steps.ATTR_VALUES), 3):
            files["introspect-%d-%d" % (kind, value)] = (
                steps.write_step(begin(1), "introspect")
                .int_in(0, len(state.FUNCTIONS) - 1, (kind * 7 + value) % len(state.FUNCTIONS))
                .int_in(0, 11, kind).int_in(0, len(steps.ATTR_VALUES) - 1, value)
                .raw(bytes([rng.randrange(256)])).bytes())

    # Key exchanges: the ciphertext unchanged, or changed by each of the
    # mutations of values.mutate (its own data after the kind).
    for rank in (2, 3, 4):
        for kind in range(16):
            w = steps.write_step(begin(1), "key_exchange").int_in(2, 4, rank)
            w.int_in(0, 40, 32).raw(bytes(range(32))).bool(True).int_in(0, 15, kind)
            w.raw(bytes(rng.randrange(256) for _ in range(4)))
            files["kex-r%d-m%d" % (rank, kind)] = w.bytes()

    # Rebindings of each kind, then a well-formed call.
    for kind in range(10):
        w = steps.write_step(begin(2), "rebind").int_in(0, 9, kind)
        w.raw(bytes(rng.randrange(256) for _ in range(3)))
        files["rebind-%d" % kind] = w.raw(well_formed(rng.choice(state.FUNCTIONS), 2)).bytes()

    # Arbitrary arguments for each function, from a few random bytes.
    for name in state.FUNCTIONS:
        w = steps.write_step(begin(1), "call")
        w.int_in(0, len(state.FUNCTIONS) - 1, state.FUNCTIONS.index(name)).int_in(0, 7, 1)
        files["call-%s" % name] = w.raw(bytes(rng.randrange(256) for _ in range(24))).bytes()


def module_corpus(out):
    rng = random.Random(13)
    files = {}
    well_formed_seeds(files, rng)
    fault_seeds(files, rng)
    running_out_seeds(files)
    other_seeds(files, rng)
    for name, data in files.items():
        with open(os.path.join(out, name), "wb") as f:
            f.write(data)
    return len(files)


# The native target's parameter sets, in the order of fuzz_native.cpp's kSets.
NATIVE_SETS = list(kit.PARAMETER_SETS.values())


def native_corpus(out):
    rng = random.Random(31)
    files = {}
    for index, params in enumerate(NATIVE_SETS):
        latkem = state.latkem
        for name, value in params.items():
            setattr(latkem, name, value)
        random.seed(100 + index)
        pk, sk = latkem.CCA_KeyGen()
        c, _ = latkem.CCA_Enc(pk, bytes(range(32)))
        state.restore()
        kk = params["kk"]
        pk_bin = binascii.unhexlify(pk)
        cpa_sk = binascii.unhexlify(sk[: 768 * kk])
        c_bin = binascii.unhexlify(c)
        head = index << 4
        msg = bytes(rng.randrange(256) for _ in range(32))
        coins = bytes(rng.randrange(256) for _ in range(64))
        files["dec-s%d" % index] = bytes([head | 3]) + c_bin + cpa_sk
        for length in (32, 64, 0, 33):
            files["enc-s%d-coins%d" % (index, length)] = (
                bytes([head | 4]) + pk_bin + msg + bytes([length]) + coins[:length])
        # Coefficients at q and above in the public key.
        files["enc-s%d-big" % index] = (bytes([head | 4]) + b"\xff" * (384 * kk) + pk_bin[-32:]
                                        + msg + bytes([32]) + coins[:32])
        for flip in (0, 1, 0x80):
            files["keys-s%d-flip%d" % (index, flip)] = (
                bytes([head | 5, 32]) + coins[:32] + msg + coins[32:] + bytes([3, 7, flip]))
        files["hex-s%d-pk" % index] = bytes([head]) + pk
        files["hex-s%d-c-upper" % index] = bytes([head]) + c.upper()
        files["hex-s%d-odd" % index] = bytes([head]) + pk[:-1]
        files["round-s%d" % index] = bytes([head | 1]) + pk_bin[:64]
    for d in (1, 4, 5, 10, 11, 12):
        files["codec-d%d" % d] = bytes([2, d - 1]) + c_bin[: 32 * d]
    for bad in ([0, 2, 2, 10, 4], [5, 2, 2, 10, 4], [2, 4, 2, 10, 4], [2, 2, 2, 12, 4],
                [2, 3, 2, 10, 6], [2, 3, 2, 10, 4]):
        files["bad-%s" % "-".join(map(str, bad))] = bytes([7] + bad)
    for name, data in files.items():
        with open(os.path.join(out, name), "wb") as f:
            f.write(data)
    return len(files)


def quoted(token):
    return '"%s"' % "".join(chr(b) if 32 <= b < 127 and chr(b) not in '"\\' else "\\x%02x" % b
                            for b in token)


def write_dict(path, tokens):
    seen = []
    for name, token in tokens:
        if token not in [t for _, t in seen]:
            seen.append((name, token))
    with open(path, "w") as f:
        f.write("# libFuzzer dictionary; written by make_corpus.py\n")
        for name, token in seen:
            f.write("%s=%s\n" % (name, quoted(token)))
    return len(seen)


# Values the code tests or sizes it expects, as the harness's two-byte
# choices read them (little end first).
SIZES = [32, 64, 96, 128, 192, 256, 384, 640, 704, 768, 1024, 1152, 1536, 1568, 1600, 2048, 3072,
         3168, 3329, 3328, 3330, 1664, 2285, 4096, 6144, 65535]


def module_dict(path):
    tokens = []
    for i, name in enumerate(state.FUNCTIONS):  # a well-formed call of each function
        tokens.append(("call_%s" % name, steps.write_step(Writer(), "well_formed")
                       .int_in(0, len(state.FUNCTIONS) - 1, i).bytes()))
    for kind in range(changes.CHANGE_KINDS):  # a change: argument, kind
        for index in range(3):
            tokens.append(("change_%d_%d" % (index, kind), bytes([index, kind])))
    for rank in (2, 3, 4):
        tokens.append(("exchange_rank%d" % rank,
                       steps.write_step(Writer(), "key_exchange").int_in(2, 4, rank).bytes()))
        tokens.append(("parameter_set%d" % rank,  # rebind's fifth kind: a parameter set
                       steps.write_step(Writer(), "rebind").int_in(0, 9, 4).int_in(2, 4, rank)
                       .bytes()))
    for size in SIZES:
        tokens.append(("int_%d" % size, size.to_bytes(2, "little")))
    tokens += [("hex_digits", b"0123456789abcdef"), ("hex_upper", b"ABCDEF"),
               ("bits", b"01"), ("not_hex", b"g"), ("non_ascii", b"\xc3\xa9")]
    return write_dict(path, tokens)


def native_dict(path):
    tokens = []
    for index in range(len(NATIVE_SETS)):
        for op, what in ((3, "dec"), (4, "enc"), (5, "keys")):
            tokens.append(("%s_set%d" % (what, index), bytes([index << 4 | op])))
    tokens += [("seed_32", bytes([5, 32])), ("coins_32", b"\x20"), ("coins_64", b"\x40"),
               ("hex_digits", b"0123456789abcdef"), ("hex_upper", b"ABCDEF"),
               ("coefficient_q", (3329).to_bytes(2, "little")),
               ("coefficient_max", b"\xff\x0f"), ("bad_params", bytes([7, 2, 3, 2, 10, 4]))]
    return write_dict(path, tokens)


def merge(seeds, out):
    """Keeps the seeds that add coverage (libFuzzer's merge, run through the
    harness in this process's environment): the whole set takes longer to
    load than the CI step runs."""
    log = os.path.join(seeds, "..", "merge.log")
    with open(log, "w") as f:
        subprocess.run([sys.executable, os.path.join(HERE, "fuzz_module.py"), "-merge=1",
                        "-timeout=60", "-rss_limit_mb=4096", "-malloc_limit_mb=1024",
                        out, seeds], stdout=f, stderr=subprocess.STDOUT, check=True)


def main(args):
    startup.start()
    root = os.path.join(HERE, "corpus")
    # --add DIR: inputs a longer run found (its corpus directory), merged in
    # with the generated seeds.  Only for a run of the same harness encoding.
    extra = [args[i + 1] for i, a in enumerate(args) if a == "--add" and i + 1 < len(args)]
    out = fresh(os.path.join(root, "module"))
    if "--all" in args:
        count = module_corpus(out)
    else:
        with tempfile.TemporaryDirectory() as work:
            seeds = fresh(os.path.join(work, "seeds"))
            count = module_corpus(seeds)
            for directory in extra:
                for name in os.listdir(directory):
                    shutil.copy(os.path.join(directory, name), os.path.join(seeds, "run-" + name))
                    count += 1
            merge(seeds, out)
    print("module corpus: %d inputs (%d generated)" % (len(os.listdir(out)), count),
          file=sys.stderr)
    count = native_corpus(fresh(os.path.join(root, "native")))
    print("native corpus: %d inputs" % count, file=sys.stderr)
    print("dictionaries: %d and %d tokens" % (module_dict(os.path.join(HERE, "module.dict")),
                                              native_dict(os.path.join(HERE, "native.dict"))),
          file=sys.stderr)


if __name__ == "__main__":
    main(sys.argv[1:])
