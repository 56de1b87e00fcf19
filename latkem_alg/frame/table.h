// The module's facts in one place: its globals, the host-module attributes
// its bodies call, and for each of its 27 functions the name, first line,
// parameters, locals, the globals and attributes the body reads and the
// module functions it calls.  The function type, the argument binding, the
// interned names and the native-path guard are all made from these lists.
//
// When a body changes, its row changes with it: the guard lets the native
// path answer only while everything a row names (through its callees too) is
// as the module bound it, so a global a body reads but its row omits would
// let the native path answer where the body would not.
#pragma once

// Module globals other than the functions, with how the guard checks them:
//   value   an exact int equal to the one the module bound
//   param   an exact int the native core supports (any supported value)
//   same    the very object the module bound
//   module  the very module, of type exactly ModuleType (its attributes below)
//   table   the very list, holding the very entries it was made with
//   user    called on both paths alike; the guard does not check it
//   host    read only by bodies without a native path
#define LATKEM_GLOBALS(X)                                                                   \
  X(math, module) X(random, user) X(binascii, module) X(np, module) X(hashlib, module)      \
  X(sha3_256, host) X(sha3_512, same) X(shake_128, same) X(shake_256, same) X(q, value)      \
  X(n, value) X(k, value) X(eta1, param) X(eta2, param) X(kk, param) X(bar_k, host)          \
  X(bar_r, host) X(ted, host) X(du, param) X(dv, param) X(tree, host) X(mont, host)          \
  X(mont_inv, host) X(zetas, table) X(zetas_inv, host)

// Attributes of host modules that bodies call, checked in the module's
// dictionary: (global holding the module, attribute).
#define LATKEM_ATTRS(X)                                                                    \
  X(math, sqrt) X(math, gcd) X(binascii, hexlify) X(binascii, unhexlify) X(np, zeros)       \
  X(hashlib, sha3_256) X(hashlib, shake_256)

// The functions, in the order the module binds them:
//   X(name, first line, (parameters), (locals),
//     (globals read), (attributes read, as module_attribute), (functions called))
// Parameters and locals are the code object's variable names, in order.
#define LATKEM_FUNCTIONS(X)                                                                 \
  X(compress, 31, ("x", "d_u"), ("new_x", "mod"), (q), (), ())                               \
  X(decompress, 38, ("x", "d_u"), ("new_x"), (q), (), ())                                   \
  X(CBD, 43, ("byte_array", "eta"), ("f", "new_list", "ic", "ac", "bc", "jc"), (), (),       \
    (hex_to_bits))                                                                          \
  X(PRF, 56, ("ss", "bd", "eta"), ("data", "hash_value"), (hashlib), (hashlib_shake_256), ()) \
  X(H, 67, ("data"), ("sha3", "string", "hex_string"), (binascii, hashlib),                  \
    (binascii_unhexlify, hashlib_sha3_256, binascii_hexlify), ())                           \
  X(mont_red, 79, ("xx"), (), (mont_inv, q), (), ())                                        \
  X(mont_mul, 85, ("aa", "bb"), ("cc"), (), (), (mont_red))                                 \
  X(barrett_red, 92, ("xx"), ("tem", "tedd"), (bar_r, bar_k, q), (), ())                     \
  X(ntt3_mul, 133, ("fff", "ggg"), ("new_vv", "ic", "r0", "r1", "r2", "r3"), (n, zetas, q),   \
    (), (ntt3_mul0))                                                                        \
  X(ntt3_mul0, 151, ("a0", "a1", "b0", "b1", "ze"), ("r0", "r1"), (q), (), ())                \
  X(ntt3, 168, ("vvv"), ("new_v", "ic", "kd", "l", "ind", "zeta", "j", "t"), (n, zetas, q),   \
    (), ())                                                                                 \
  X(intt3, 194, ("vvv"), ("new_v", "ic", "l", "l_upper", "kd", "ind", "zeta", "j", "t"),      \
    (n, zetas, q), (), ())                                                                  \
  X(Genkey, 265, ("dd"),                                                                    \
    ("ic", "s", "e", "rho", "sigma", "a", "N", "input_bytes", "new_s", "new_e", "t", "vec",  \
     "j", "tem", "ii", "pk_cpa", "sk_cpa"),                                                 \
    (n, q, k, math, np, kk, eta1, binascii), (math_sqrt, math_gcd, np_zeros, binascii_hexlify), \
    (G, generate_mat_a, PRF, CBD, ntt3, ntt3_mul, encode, bits_to_bytes))                   \
  X(Enc, 333, ("pk_cpa", "ran_m", "rand"),                                                  \
    ("ran1", "ran", "i", "newt", "rho", "ic", "newa", "ii", "jj", "ll", "tem", "N", "rr",     \
     "e1", "input_bytes", "e2", "new_r", "newu", "vec", "j", "u", "v", "newv", "kd",         \
     "u_code", "v_code", "uv_code"),                                                        \
    (binascii, n, q, kk, np, eta1, eta2, du, dv), (binascii_unhexlify, binascii_hexlify, np_zeros), \
    (hex_to_bits, decode, generate_mat_a, PRF, CBD, ntt3, ntt3_mul, intt3, compress, encode, \
     bits_to_bytes))                                                                        \
  X(Dec, 440, ("uv_code", "sk_cpa"),                                                        \
    ("ud", "vd", "v", "ic", "j", "dem", "vv", "newu", "vec", "kd", "xx"),                    \
    (binascii, kk, n, du, dv, np, q), (binascii_unhexlify, binascii_hexlify, np_zeros),      \
    (hex_to_bits, decode, decompress, ntt3, ntt3_mul, intt3, compress))                     \
  X(XOF, 495, ("bytes32", "int_a", "int_b"), ("input_bytes"), (shake_128, n), (), ())        \
  X(generate_mat_a, 508, ("rho", "len_a"), ("mat_A", "j", "ic", "tem"), (np, n), (np_zeros),  \
    (XOF, Parse))                                                                           \
  X(G, 519, ("bytes32"), ("output"), (sha3_512), (), ())                                    \
  X(Parse, 530, ("bytes96"), ("ii", "jj", "coeff", "d1", "d2"), (n, q), (), ())              \
  X(encode, 553, ("fff", "l"), ("fff_bytes", "jj", "ii"), (n), (), ())                      \
  X(decode, 566, ("fff_bits", "l"), ("ind", "rr", "coeff", "hh", "ii", "jj"), (np, n),        \
    (np_zeros), ())                                                                         \
  X(hex_to_bits, 583, ("hex_str"), ("hex_pairs", "bit_str", "hex_pair", "byte", "tem", "ic"), \
    (), (), ())                                                                             \
  X(bits_to_bytes, 597, ("ss"), ("ind", "byte32", "ii", "tem"), (), (), ())                 \
  X(kdf, 612, ("in_str", "length"), (), (shake_256), (), ())                                \
  X(CCA_KeyGen, 651, (), ("dd", "cca_pk", "sk2", "H_cca_pk", "z", "cca_sk"),                 \
    (random, binascii), (binascii_hexlify, binascii_unhexlify), (Genkey, H))                \
  X(CCA_Enc, 667, ("cca_pk", "m_unhex"), ("m_hash", "K_bar", "rand", "c_text", "K_key"),     \
    (binascii), (binascii_unhexlify, binascii_hexlify), (H, G, Enc, kdf))                   \
  X(CCA_Dec, 681, ("c_text", "cca_sk"),                                                     \
    ("cpa_sk", "cpa_pk", "H_cca_pk", "z", "m2", "new_m2", "K_bar", "rand", "c2", "i"),       \
    (kk, n, binascii), (binascii_unhexlify, binascii_hexlify), (Dec, bits_to_bytes, G, Enc, H, kdf))

// Other names the module interns: attributes and methods the bodies use
// (those not already named above), and the names of the module body.
#define LATKEM_OTHER_NAMES(X)                                                               \
  X(numpy) X(randbytes) X(getrandbits) X(to_bytes) X(hexlify) X(unhexlify) X(update)        \
  X(hexdigest) X(digest) X(fromhex) X(hex) X(zeros) X(sqrt) X(gcd) X(sys) X(join) X(extend)  \
  X(cca_pk1) X(cca_sk1) X(new_m) X(Cipher) X(scr_key) X(new_k) X(__name__)         \
  X(__main__) X(__builtins__) X(little) X(modules) X(Latkem)
