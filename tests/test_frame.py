"""The module frame: function objects, argument binding, global lookup at
each use, traceback entries and the lines they report."""
import binascii
import ctypes
import hashlib
import inspect
import os
import re
import types

import pytest

import kit
from kit import FIRST_LINE, TB_FILE

pytestmark = pytest.mark.frame

SEED = bytes(range(32))


# ---------------------------------------------------------------------------
# Function objects


@pytest.mark.parametrize("f", kit.FUNCTIONS, ids=lambda f: f.__name__)
def test_function_object(latkem, entries, f):
    name = f.__name__
    assert f is getattr(latkem, name) and f.__qualname__ == name
    assert f.__module__ == "Latkem"
    assert f.__doc__ is None
    assert f.__defaults__ is None and f.__kwdefaults__ is None
    assert f.__globals__ is vars(latkem)
    code = f.__code__
    assert (code.co_filename, code.co_name, code.co_firstlineno) == (TB_FILE, name, FIRST_LINE[name])
    assert code.co_kwonlyargcount == 0
    assert getattr(code, "co_posonlyargcount", 0) == 0
    params = inspect.signature(f).parameters
    assert tuple(params) == code.co_varnames[:code.co_argcount]
    assert all(p.kind is p.POSITIONAL_OR_KEYWORD and p.default is p.empty
               for p in params.values())
    # A binding error reports the function's first line.
    with pytest.raises(TypeError) as info:
        f(*range(len(params) + 1))
    assert entries(info.value) == [("Latkem." + name, FIRST_LINE[name])]


# ---------------------------------------------------------------------------
# Argument binding


def _call(latkem, name, args, kwargs):
    return getattr(latkem, name)(*args, **kwargs)


A, B = b"00", b"11"


@pytest.mark.parametrize(
    "name, args, kwargs, message",
    [
        # no keywords: the count must be exact
        ("H", (), {}, "H() takes exactly 1 positional argument (0 given)"),
        ("H", (A, B), {}, "H() takes exactly 1 positional argument (2 given)"),
        ("compress", (1,), {}, "compress() takes exactly 2 positional arguments (1 given)"),
        ("ntt3_mul0", (1, 2, 3, 4, 5, 6), {},
         "ntt3_mul0() takes exactly 5 positional arguments (6 given)"),
        # keywords with too many positionals
        ("XOF", (SEED, 0, 1, 2), {"foo": 1},
         "XOF() takes exactly 3 positional arguments (4 given)"),
        ("H", (A, B), {"data": A}, "H() takes exactly 1 positional argument (2 given)"),
        # the first missing parameter is reported before any keyword is examined
        ("CCA_Enc", (A,), {"cca_pk": A},
         "CCA_Enc() takes exactly 2 positional arguments (1 given)"),
        ("XOF", (SEED,), {"foo": 1, "int_b": 1},
         "XOF() takes exactly 3 positional arguments (1 given)"),
        ("XOF", (), {"int_b": 1, "bytes32": SEED},
         "XOF() takes exactly 3 positional arguments (1 given)"),
        ("XOF", (), {"foo": 1}, "XOF() takes exactly 3 positional arguments (0 given)"),
        # remaining keywords: duplicates and unexpected names
        ("CCA_Enc", (A, B), {"cca_pk": A},
         "CCA_Enc() got multiple values for keyword argument 'cca_pk'"),
        ("CCA_Enc", (A, B), {"key": 1}, "CCA_Enc() got an unexpected keyword argument 'key'"),
        ("XOF", (SEED, 0), {"int_b": 1, "int_a": 0},
         "XOF() got multiple values for keyword argument 'int_a'"),
        ("XOF", (SEED, 0, 1), {"foo": 1, "bytes32": SEED},
         "XOF() got an unexpected keyword argument 'foo'"),
        ("XOF", (SEED, 0, 1), {"bytes32": SEED, "foo": 1},
         "XOF() got multiple values for keyword argument 'bytes32'"),
        ("kdf", (), {"length": 1, "in_str": b"", "in_st": 1},
         "kdf() got an unexpected keyword argument 'in_st'"),
        # a function without parameters: keywords are examined first
        ("CCA_KeyGen", (1,), {}, "CCA_KeyGen() takes no arguments (1 given)"),
        ("CCA_KeyGen", (1, 2), {}, "CCA_KeyGen() takes no arguments (2 given)"),
        ("CCA_KeyGen", (), {"x": 1}, "CCA_KeyGen() takes no keyword arguments"),
        ("CCA_KeyGen", (1,), {"x": 1}, "CCA_KeyGen() takes no keyword arguments"),
    ],
)
def test_binding_error(latkem, entries, name, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        _call(latkem, name, args, kwargs)
    assert str(info.value) == message
    assert entries(info.value) == [("Latkem." + name, FIRST_LINE[name])]


@pytest.mark.parametrize(
    "call",
    [
        lambda m: m.XOF(**{1: 2}),
        lambda m: m.XOF(SEED, 0, 1, **{1: 2}),
        lambda m: m.H(**{"data": A, 1: 2}),
        lambda m: m.CCA_KeyGen(**{1: 2}),
    ],
    ids=["alone", "after-all-positionals", "after-a-good-one", "no-parameters"],
)
def test_dict_key_that_is_not_a_string(latkem, call):
    with pytest.raises(TypeError) as info:
        call(latkem)
    assert str(info.value) == "keywords must be strings"


_vectorcall = getattr(ctypes.pythonapi, "PyObject_Vectorcall", None)


@pytest.mark.skipif(_vectorcall is None, reason="the host does not export PyObject_Vectorcall")
@pytest.mark.parametrize(
    "positional, kwnames, kwvalues, message",
    [
        ((SEED, 0, 1), (7,), (2,), "XOF() keywords must be strings"),
        ((SEED, 0), ("int_b", 7), (1, 2), "XOF() keywords must be strings"),
        ((SEED, 0, 1), ("foo", 7), (1, 2), "XOF() got an unexpected keyword argument 'foo'"),
        ((SEED, 0, 1), (7, "foo"), (1, 2), "XOF() keywords must be strings"),
        # a name that is not a string never matches a parameter
        ((SEED,), (7,), (2,), "XOF() takes exactly 3 positional arguments (1 given)"),
    ],
)
def test_keyword_names_that_are_not_strings(latkem, entries, positional, kwnames, kwvalues,
                                            message):
    # Only a caller in C can pass such names; the host's own call paths refuse them.
    _vectorcall.restype = ctypes.py_object
    _vectorcall.argtypes = [ctypes.py_object, ctypes.c_void_p, ctypes.c_size_t, ctypes.py_object]
    values = positional + kwvalues
    argv = (ctypes.py_object * len(values))(*values)
    with pytest.raises(TypeError) as info:
        _vectorcall(latkem.XOF, argv, len(positional), kwnames)
    assert str(info.value) == message
    assert entries(info.value) == [("Latkem.XOF", 495)]


@pytest.mark.parametrize(
    "name, args, forms",
    [
        ("XOF", (SEED, 1, 2),
         [((SEED,), {"int_b": 2, "int_a": 1}),
          ((), {"int_b": 2, "bytes32": SEED, "int_a": 1}),
          ((SEED, 1), {"int_b": 2})]),
        ("PRF", (SEED, b"\x01", 1),
         [((), {"eta": 1, "bd": b"\x01", "ss": SEED}), ((SEED,), {"eta": 1, "bd": b"\x01"})]),
        ("kdf", (b"abc", 5), [((), {"length": 5, "in_str": b"abc"}), ((b"abc",), {"length": 5})]),
        ("H", (b"0a",), [((), {"data": b"0a"})]),
        ("G", (b"xy",), [((), {"bytes32": b"xy"})]),
    ],
)
def test_keywords_bind_like_positionals(latkem, name, args, forms):
    expected = _call(latkem, name, args, {})
    for fargs, fkwargs in forms:
        assert _call(latkem, name, fargs, fkwargs) == expected


# ---------------------------------------------------------------------------
# Traceback entries


def test_binding_error_inside_a_call_from_the_module(latkem, module_globals, entries):
    module_globals["sha3_512"] = latkem.PRF
    with pytest.raises(TypeError, match=r"^PRF\(\) takes exactly 3 positional arguments \(1 given\)$") as info:
        latkem.G(b"")
    assert entries(info.value) == [("Latkem.G", 522), ("Latkem.PRF", 56)]


def test_callee_entry_below_caller(latkem, module_globals, all_entries):
    module_globals["shake_128"] = latkem.H
    with pytest.raises(binascii.Error) as info:
        latkem.XOF(SEED, 0, 0)
    assert all_entries(info.value)[1:] == [("Latkem.XOF", 504), ("Latkem.H", 68)]


def test_same_function_twice_gets_two_entries(latkem, module_globals, entries):
    module_globals["shake_128"] = latkem.XOF
    with pytest.raises(TypeError, match=r"^XOF\(\) takes exactly 3 positional") as info:
        latkem.XOF(SEED, 0, 0)
    assert entries(info.value) == [("Latkem.XOF", 504), ("Latkem.XOF", 495)]


def test_host_callee_and_host_caller(latkem, module_globals, all_entries):
    def failing_hash(data):
        raise KeyError(data)

    def wrapper():
        return latkem.kdf(b"in", 4)

    module_globals["shake_256"] = failing_hash
    with pytest.raises(KeyError) as info:
        wrapper()
    assert all_entries(info.value)[1:] == [
        ("wrapper", wrapper.__code__.co_firstlineno + 1),
        ("Latkem.kdf", 614),
        ("failing_hash", failing_hash.__code__.co_firstlineno + 1),
    ]
    assert info.value.args == (b"in",)


def test_entry_once_per_failure(latkem, entries):
    # The cached entries must not pile up across failures.
    for _ in range(3):
        with pytest.raises(ValueError) as info:
            latkem.XOF(b"", 0, 0)
        assert entries(info.value) == [("Latkem.XOF", 502)]


# The line each statement reports, by function ("init" for the module body),
# under its name in latkem_alg/frame/lines.h, where the bodies take them from.
STATEMENT_LINES = {
    "compress": dict(round_x=32, make_mod=33, reduce_x=34),
    "decompress": dict(round_x=39),
    "CBD": dict(zeros=44, read_bits=45, bit_loop=49, add_a=50, add_b=51, store=52),
    "PRF": dict(bytes_seed=57, bytes_nonce=58, join=59, shake=62, to_hex=64),
    "H": dict(unhex=68, new_hash=70, update=71, hexdigest=72, fromhex=73, hexlify_digest=74),
    "mont_red": dict(reduce=81),
    "mont_mul": dict(product=87, reduce=89),
    "barrett_red": dict(
        int_x=93, quotient=95, remainder=97, test_below=99, test_above=101, subtract=102),
    "ntt3_mul": dict(
        new_list=134, pair_loop=137, mul_even=139, mul_odd=140, extend=142, reduce_loop=144,
        reduce=146),
    "ntt3_mul0": dict(r0_high=154, r0_zeta=155, r0_add=157, r1_cross=160, r1_add=161, result=164),
    "ntt3": dict(
        copy_zeros=169, copy_loop=170, copy_entry=171, layer_loop=175, block_loop=177, zeta=178,
        next_zeta=179, j_loop=181, butterfly_t=182, butterfly_sub=183, butterfly_add=184,
        next_block=185, next_layer=186, reduce_loop=188, reduce=189),
    "intt3": dict(
        copy_zeros=195, copy_loop=196, copy_entry=197, first_zeta=200, layer_loop=201,
        block_loop=203, zeta=204, next_zeta=205, j_loop=207, butterfly_t=208, butterfly_add=209,
        butterfly_sub=210, butterfly_mul=211, next_block=212, next_layer=213, scale_loop=215,
        scale=217),
    "Genkey": dict(
        check_n=267, raise_n=268, check_q=270, raise_q=271, prime_loop=273, prime_gcd=274,
        raise_prime=275, zeros_s=277, zeros_e=278, hash_seed=280, make_a=284, s_loop=287, s_prf=288,
        s_cbd=289, s_nonce=290, e_loop=292, e_sample=293, e_nonce=294, zeros_new_s=297,
        zeros_new_e=298, zeros_t=299, ntt_loop=301, ntt_s=302, ntt_e=303, zeros_vec=306,
        a_mul_rows=307, a_mul_cols=308, a_mul=309, zeros_tem=311, sum_rows=312, sum_coeffs=313,
        sum_terms=314, add_term=315, reduce_t=318, encode_t=320, pack_t=321, hexlify_pk=323,
        encode_s=325, pack_s=326, hexlify_sk=327, result=329),
    "Enc": dict(
        unhex_coins=334, message_bits=335, zeros_ran=336, bit_loop=338, read_bit=339, unhex_key=341,
        split_t=342, split_rho=343, hexlify_t=345, bits_t=346, decode_t=347, scale_loop=353,
        scale_bit=354, make_a=356, swap_rows=357, swap_cols=358, swap_coeffs=359, swap_save=360,
        swap_copy=361, swap_restore=362, zeros_r=366, zeros_e1=368, r_loop=369, r_prf=370,
        r_cbd=371, r_nonce=372, e1_loop=373, e1_sample=374, e1_nonce=375, e2_sample=377,
        zeros_new_r=379, ntt_loop=380, ntt_r=381, zeros_newu=385, zeros_vec=386, a_mul_rows=388,
        a_mul_cols=389, a_mul=390, sum_rows=392, sum_coeffs=393, sum_terms=394, add_term=395,
        reduce_u=396, zeros_u=398, u_loop=399, intt_u=400, e1_coeffs=401, add_e1=402, zeros_v=405,
        zeros_newv=406, zeros_vec_t=407, t_mul_loop=408, t_mul=409, v_sum_coeffs=411,
        v_sum_terms=412, v_add_term=413, intt_v=415, v_loop=417, add_e2=418, add_message=419,
        compress_rows=422, compress_coeffs=423, compress_u=424, compress_v_loop=425, compress_v=426,
        encode_u=428, pack_u=429, encode_v=431, pack_v=432, hexlify_uv=434),
    "Dec": dict(
        unhex_key=442, hexlify_key=443, bits_key=444, decode_key=445, unhex_text=447,
        hexlify_text=448, bits_u=451, decode_u=452, split_v=454, bits_v=456, decode_v=458,
        u_rows=460, u_coeffs=461, decompress_u=462, first_row_v=464, v_loop=465, decompress_v=466,
        zeros_dem=468, zeros_vv=469, zeros_newu=470, ntt_loop=471, ntt_u=472, zeros_vec=474,
        key_mul_loop=475, key_mul=476, sum_coeffs=478, sum_terms=479, add_term=480, reduce_vv=481,
        intt_vv=483, diff_loop=485, diff=486, compress_loop=488, compress_bit=489),
    "XOF": dict(index_bytes=497, join=499, check_length=501, raise_length=502, shake=504),
    "generate_mat_a": dict(zeros=509, row_loop=510, col_loop=511, xof=512, parse=513),
    "G": dict(digest=522, split=525),
    "Parse": dict(
        zeros=533, loop=535, d1=536, d2=537, test_d1=539, store_d1=540, count_d1=541, test_d2=543,
        store_d2=544, count_d2=545, advance=547),
    "encode": dict(row_loop=558, coeff_loop=559, append=560),
    "decode": dict(
        count=568, chars=570, zeros=572, row_loop=574, coeff_loop=575, bit_loop=576, add_bit=577),
    "hex_to_bits": dict(decode_bytes=584, pairs=585, parse_pair=589, format_byte=590, append=591),
    "bits_to_bytes": dict(count=599, empty=600, loop=602, parse_group=604, append=606),
    "kdf": dict(shake=614),
    "CCA_KeyGen": dict(
        draw_seed=652, genkey=654, hash_pk=656, draw_z=658, hexlify_z=659, unhex_sk=661,
        hexlify_sk=662, result=664),
    "CCA_Enc": dict(
        hash_message=668, derive=670, hexlify_coins=672, encrypt=674, shared_key=676, result=678),
    "CCA_Dec": dict(
        slice_sk=683, slice_pk=684, slice_hash=685, slice_z=686, decrypt=688, join_bits=689,
        pack_message=691, derive=693, hexlify_coins=694, reencrypt=696, test_text=697,
        decode_text=698, compare=700, shared_key=701, print_reject=704, reject_key=705),
    "init": dict(
        import_math=1, import_random=2, import_binascii=3, import_numpy=4, import_hashlib=5,
        from_hashlib=6, set_q=9, set_n=11, set_k=13, set_eta=15, set_kk=19, set_bar_k=22,
        set_bar_r=24, set_ted=26, set_d=28, set_tree=619, set_mont=627, set_mont_inv=630,
        set_zetas=633, set_zetas_inv=642, test_main=708, demo_keygen=710, print_pk=711,
        print_sk=712, draw_message=713, demo_enc=715, print_cipher=716, print_k1=717, demo_dec=718,
        print_k2=719),
}


def test_statement_lines_stay():
    # Many statements fail only with contrived arguments or globals; this copy
    # notices a changed line of any of them.
    path = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                        "latkem_alg", "frame", "lines.h")
    with open(path, encoding="utf-8") as f:
        text = f.read()
    blocks = re.findall(r"namespace (\w+) \{\n(constexpr .*?)\n\}  // namespace \1\n", text, re.S)
    found = {block: {name: int(n) for name, n in re.findall(r"int (\w+) = (\d+);", body)}
             for block, body in blocks}
    assert found == STATEMENT_LINES


# ---------------------------------------------------------------------------
# Global lookup at each use


@pytest.mark.parametrize(
    "missing, name, args, line",
    [
        ("n", "XOF", (SEED, 0, 0), 504),
        ("shake_128", "XOF", (SEED, 0, 0), 504),
        ("sha3_512", "G", (b"",), 522),
        ("shake_256", "kdf", (b"", 1), 614),
        ("binascii", "H", (b"00",), 68),
        ("hashlib", "H", (b"00",), 70),
        ("hashlib", "PRF", (b"", b"", 1), 62),
        # np.zeros([kk, n]) looks up np before the dimensions
        ("np kk", "Genkey", (SEED,), 277),
        ("np n", "decode", ("0" * 3072, 12), 572),
    ],
)
def test_missing_global(latkem, module_globals, entries, missing, name, args, line):
    for global_name in missing.split():
        del module_globals[global_name]
    with pytest.raises(NameError) as info:
        _call(latkem, name, args, {})
    assert str(info.value) == "name '%s' is not defined" % missing.split()[0]
    assert entries(info.value) == [("Latkem." + name, line)]


def _hash_outputs(m):
    return {
        "H": m.H(b"0123"),
        "G": m.G(b"ab"),
        "PRF": m.PRF(SEED, b"\x00", 1),
        "XOF": m.XOF(SEED, 0, 1),
        "kdf": m.kdf(b"ab", 16),
    }


@pytest.mark.parametrize(
    "name, replacement, changed",
    [
        ("binascii", types.SimpleNamespace(
            unhexlify=binascii.unhexlify, hexlify=lambda b: binascii.hexlify(b).upper()),
         {"H"}),
        ("hashlib", types.SimpleNamespace(
            sha3_256=hashlib.sha3_512, shake_256=hashlib.shake_128), {"H", "PRF"}),
        ("sha3_256", hashlib.sha3_512, set()),
        ("sha3_512", hashlib.sha3_384, {"G"}),
        ("shake_128", hashlib.shake_256, {"XOF"}),
        ("shake_256", hashlib.shake_128, {"kdf"}),
        ("n", 128, {"XOF"}),
        ("q", 17, set()),
    ],
)
def test_rebinding_a_global_changes_exactly_its_readers(latkem, module_globals, name,
                                                        replacement, changed):
    before = _hash_outputs(latkem)
    module_globals[name] = replacement
    after = _hash_outputs(latkem)
    assert {f for f in before if before[f] != after[f]} == changed


def test_rebound_global_is_used(latkem, module_globals):
    module_globals["n"] = 128
    assert latkem.XOF(SEED, 2, 3) == hashlib.shake_128(SEED + b"\x02\x03").digest(384)
    module_globals["n"] = 0
    assert latkem.XOF(SEED, 2, 3) == b""
    module_globals["shake_128"] = hashlib.shake_256
    assert latkem.XOF(SEED, 2, 3) == b""
    module_globals["n"] = 256
    assert latkem.XOF(SEED, 2, 3) == hashlib.shake_256(SEED + b"\x02\x03").digest(768)
    module_globals["sha3_512"] = hashlib.sha3_384
    digest = hashlib.sha3_384(b"ab").digest()
    assert latkem.G(b"ab") == (digest[:32], digest[32:])


def test_builtins_stand_in_for_missing_globals(latkem, module_globals, builtin_names):
    del module_globals["n"]
    builtin_names.n = 16
    assert latkem.XOF(SEED, 0, 0) == hashlib.shake_128(SEED + b"\0\0").digest(48)
    module_globals["n"] = 8  # the module dictionary comes first
    assert len(latkem.XOF(SEED, 0, 0)) == 24
    del module_globals["binascii"]
    builtin_names.binascii = binascii
    assert latkem.H(b"") == hashlib.sha3_256(b"").hexdigest().encode()


def test_value_error_is_fixed_at_initialisation(latkem, module_globals, builtin_names):
    real = ValueError
    module_globals["ValueError"] = KeyError
    builtin_names.ValueError = KeyError
    try:
        latkem.XOF(b"", 0, 0)
    except BaseException as exc:
        caught = exc
    else:
        caught = None
    finally:
        builtin_names.ValueError = real
    assert type(caught) is ValueError
    assert str(caught) == "Length of input bytes should be equal to 32"


