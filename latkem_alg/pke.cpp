// The chosen-plaintext-secure encryption scheme: key generation, encryption
// and decryption on float64 coefficient arrays.
#include "guard.h"

#include <cstring>
#include <vector>

namespace latkem {

namespace {

// Genkey(dd) with the native core.  The key pair is made and written out as
// hex with the host's lock released: the seed is a bytes object the caller
// holds, and the two results are bytes objects nothing else refers to yet.
bool native_Genkey(PyObject* dd, Obj& result) {
  if (!PyBytes_CheckExact(dd)) return false;
  const native::Params p = guard::params();
  const size_t pk_len = native::pk_bytes(p), sk_len = native::sk_bytes(p);
  Obj pk_hex(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(2 * pk_len)));
  Obj sk_hex(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(2 * sk_len)));
  char* pk_text = PyBytes_AS_STRING(pk_hex.get());
  char* sk_text = PyBytes_AS_STRING(sk_hex.get());
  const uint8_t* seed = reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(dd));
  const size_t seed_len = static_cast<size_t>(PyBytes_GET_SIZE(dd));
  uint8_t pk[native::kPolyBytes * native::kMaxRank + native::kSymBytes];
  uint8_t sk[native::kPolyBytes * native::kMaxRank];
  native::Wiped wipe_sk(sk, sizeof sk);
  bool made;
  fast::unlocked([&] {
    made = native::kpke_keygen(p, seed, seed_len, pk, sk);
    if (made) {
      native::hex_encode(pk_text, pk, pk_len);
      native::hex_encode(sk_text, sk, sk_len);
    }
  });
  if (!made) return false;
  result = list_of({pk_hex, sk_hex});
  return true;
}

// `[:]`
Obj whole() { return Obj(PySlice_New(nullptr, nullptr, nullptr)); }

// np.zeros([dims...])
Obj zeros(std::initializer_list<Obj> dims) {
  Obj np = GLOBAL(np);
  Obj fn = np.attr(NAME(zeros));
  return fn(list_of(dims));
}

// raise ValueError(message), through the builtin fixed at initialisation.
[[noreturn]] void value_error(const char* message) {
  Obj exc = Obj::borrow(builtins.ValueError)(text(message));
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
  raise();
}

Obj hexlify(const Obj& x) {
  Obj fn = GLOBAL(binascii).attr(NAME(hexlify));
  return fn(x);
}

Obj unhexlify(const Obj& x) {
  Obj fn = GLOBAL(binascii).attr(NAME(unhexlify));
  return fn(x);
}

// The statement at `line` that hands hex text to unhexlify, for text the host
// refuses there; false (the host path) for an argument not surely refused.
bool fail_unhexlify(Frame& f, int line, const fast::Input& in, PyObject* arg) {
  if (!in.readable() && !fast::refused_as_text(in, arg)) return false;
  return f.fail_at(line, [&] { unhexlify(in.as_read(arg)); });
}

// `rows[count, ...]` on the float64 array of `count` rows of n that decode
// makes of too short a bit string: the index error of the statement that
// reads the first missing row (`rest` the remaining indices, `[:]` or 0).
void missing_row(size_t count, const Obj& rest) {
  Obj rows = zeros({Obj(PyLong_FromSize_t(count)), GLOBAL(n)});
  rows[tuple_of({Obj(PyLong_FromSize_t(count)), rest})];
}

// Enc(pk_cpa, ran_m, rand) with the native core, for every argument the host
// path reads as it is: hex text in any container binascii takes (any case,
// any length), a message in any bytes-like container of binascii.  An
// argument the host path fails on fails at the host path's statement.
bool native_Enc(Frame& f, PyObject* pk_cpa, PyObject* ran_m, PyObject* rand, Obj& result) {
  const native::Params p = guard::params();
  const size_t row_bytes = size_t(native::kPolyBytes) * p.kk;  // t: kk rows at 12 bits
  fast::Input coins_in(rand), message_in(ran_m), key_in(pk_cpa);
  fast::Unhexed coins(coins_in), key(key_in);
  uint8_t message[32];
  native::Wiped wipe_message(message, sizeof message);
  uint8_t pk[native::kPolyBytes * native::kMaxRank + native::kSymBytes];
  uint8_t ct[32 * (11 * native::kMaxRank + 5)];
  const bool message_read = fast::bytes_like(message_in) && message_in.size() >= 32;
  bool done = false;
  fast::unlocked([&] {
    coins.decode();
    key.decode();
    if (coins.ok() && message_read && key.ok() && key.size() >= row_bytes + 32) {
      // The first 32 bytes are the message; t is the first kk rows of all but
      // the last 32 bytes, rho the last 32 bytes.
      std::memcpy(message, message_in.bytes(), 32);
      std::memcpy(pk, key.data(), row_bytes);
      std::memcpy(pk + row_bytes, key.data() + key.size() - 32, 32);
      done = native::kpke_enc(p, pk, message, coins.data(), coins.size(), ct);
    }
  });
  if (done) {
    result = fast::hex_bytes(ct, native::ct_bytes(p));
    return true;
  }
  if (!coins.ok()) return fail_unhexlify(f, 334, coins_in, rand);
  if (!fast::bytes_like(message_in)) {
    if (!fast::refused_as_bytes(message_in, ran_m)) return false;
    return f.fail_at(335, [&] { hexlify(Obj::borrow(ran_m)); });
  }
  if (message_in.size() < 32) {
    // ran[i] = int(ran1[i]) meets the end of the message's bits.
    return f.fail_at(339, [&] {
      const Py_ssize_t bits = 8 * static_cast<Py_ssize_t>(message_in.size());
      Obj ran1(PyUnicode_New(bits, 127));
      std::memset(PyUnicode_DATA(ran1.get()), '0', static_cast<size_t>(bits));
      ran1[Obj(PyLong_FromSsize_t(bits))];
    });
  }
  if (!key.ok()) return fail_unhexlify(f, 341, key_in, pk_cpa);
  if (key.size() < 32) {
    // The seed is the whole key, too short for XOF.
    return f.fail_at(356, [&] {
      Obj rho = fast::raw_bytes(key.data(), key.size());
      Obj gen = GLOBAL(generate_mat_a);
      gen(rho, GLOBAL(kk));
    });
  }
  if (key.size() < row_bytes + 32) {
    // Fewer than kk rows of t: the products fail at the first missing row,
    // once the matrix has been expanded, which fails (on the host path too)
    // only if its stream runs out.
    bool expands = true;
    fast::unlocked([&] {
      const uint8_t* rho = key.data() + key.size() - 32;
      native::Poly entry;
      for (int i = 0; i < p.kk; ++i)
        for (int j = 0; j < p.kk; ++j)
          expands = native::sample_matrix_entry(entry, rho, uint8_t(i), uint8_t(j)) && expands;
    });
    if (!expands) return false;
    return f.fail_at(409, [&] { missing_row((key.size() - 32) / native::kPolyBytes, whole()); });
  }
  return false;  // the matrix did not expand: the host path raises it
}

// Dec(uv_code, sk_cpa) with the native core, for hex text in any container
// binascii takes, of any case and length.  u is read from the first kk rows
// at du bits, v from the row at dv bits that follows them, the key from its
// first kk rows at 12 bits; rows beyond are ignored.  Text the host path
// fails on fails at the host path's statement.
bool native_Dec(Frame& f, PyObject* uv_code, PyObject* sk_cpa, Obj& result) {
  const native::Params p = guard::params();
  const size_t u_bytes = size_t(32) * p.du * p.kk;
  fast::Input key_in(sk_cpa), text_in(uv_code);
  fast::Unhexed key(key_in), text(text_in);
  uint8_t message[32];
  native::Wiped wipe_message(message, sizeof message);
  bool done = false;
  fast::unlocked([&] {
    key.decode();
    text.decode();
    if (key.ok() && text.ok() && key.size() >= native::sk_bytes(p) &&
        text.size() >= native::ct_bytes(p))
      done = native::kpke_dec(p, text.data(), key.data(), message);
  });
  if (done) {
    Obj bits(PyList_New(256));
    for (int i = 0; i < 256; ++i)
      PyList_SET_ITEM(bits.get(), i, PyLong_FromLong((message[i / 8] >> (i % 8)) & 1));
    result = bits;
    return true;
  }
  if (!key.ok()) return fail_unhexlify(f, 442, key_in, sk_cpa);
  if (!text.ok()) return fail_unhexlify(f, 447, text_in, uv_code);
  if (text.size() < u_bytes) {
    // ud[ic, j] at the first row decode did not make.
    return f.fail_at(462, [&] { missing_row(text.size() / (32 * p.du), num(0)); });
  }
  if (text.size() < native::ct_bytes(p)) {
    // v = v[0] of an array of no rows.
    return f.fail_at(464, [&] {
      Obj v = zeros({num(0), GLOBAL(n)});
      v[num(0)];
    });
  }
  if (key.size() < native::sk_bytes(p)) {
    // ntt3_mul(sk_cpa[ic, :], ...) at the first missing row of the key.
    return f.fail_at(476, [&] { missing_row(key.size() / native::kPolyBytes, whole()); });
  }
  return false;
}

// for ic in range(kk):                              # line `loop`
//     input_bytes = PRF(seed, bytes([N]), eta)      # loop + 1
//     rows[ic, :] = CBD(input_bytes, eta)           # loop + 2
//     N = N + 1                                     # loop + 3
void noise_rows(Frame& f, const Obj& rows, const Obj& seed, Obj& N, PyObject* eta, int loop) {
  f.line = loop;
  for_range(num(0), GLOBAL(kk), [&](Obj ic) {
    f.line = loop + 1;
    Obj prf = GLOBAL(PRF);
    Obj input_bytes = prf(seed, byte_of(N), lookup_global(eta));
    f.line = loop + 2;
    Obj cbd = GLOBAL(CBD);
    rows.set(tuple_of({ic, whole()}), cbd(input_bytes, lookup_global(eta)));
    f.line = loop + 3;
    N = N + num(1);
    f.line = loop;
  });
}

// for ic in range(kk):                                   # line `loop`
//     rows[ic, :] = CBD(PRF(seed, bytes([N]), eta), eta)  # loop + 1
//     N = N + 1                                          # loop + 2
void noise_rows_nested(Frame& f, const Obj& rows, const Obj& seed, Obj& N, PyObject* eta,
                       int loop) {
  f.line = loop;
  for_range(num(0), GLOBAL(kk), [&](Obj ic) {
    f.line = loop + 1;
    Obj cbd = GLOBAL(CBD);
    Obj prf = GLOBAL(PRF);
    Obj input_bytes = prf(seed, byte_of(N), lookup_global(eta));
    rows.set(tuple_of({ic, whole()}), cbd(input_bytes, lookup_global(eta)));
    f.line = loop + 2;
    N = N + num(1);
    f.line = loop;
  });
}

// for i in range(kk):                                           # line `outer`
//     for j in range(kk):                                       # outer + 1
//         vec[i, j, :] = ntt3_mul(mat[i, j, :], rows[j, :])     # outer + 2
void products(Frame& f, const Obj& vec, const Obj& mat, const Obj& rows, int outer) {
  const Obj zero = num(0);
  f.line = outer;
  for_range(zero, GLOBAL(kk), [&](Obj i) {
    f.line = outer + 1;
    for_range(zero, GLOBAL(kk), [&](Obj j) {
      f.line = outer + 2;
      Obj mul = GLOBAL(ntt3_mul);
      vec.set(tuple_of({i, j, whole()}),
              mul(mat[tuple_of({i, j, whole()})], rows[tuple_of({j, whole()})]));
      f.line = outer + 1;
    });
    f.line = outer;
  });
}

// for i in range(kk):                                        # line `loop`
//     vec[i, :] = ntt3_mul(left[i, :], right[i, :])          # loop + 1
void row_products(Frame& f, const Obj& vec, const Obj& left, const Obj& right, int loop) {
  f.line = loop;
  for_range(num(0), GLOBAL(kk), [&](Obj i) {
    f.line = loop + 1;
    Obj mul = GLOBAL(ntt3_mul);
    vec.set(tuple_of({i, whole()}),
            mul(left[tuple_of({i, whole()})], right[tuple_of({i, whole()})]));
    f.line = loop;
  });
}

}  // namespace

Obj body_Genkey(Frame& f, Obj* a) {
  Obj dd = a[0];
  if (Obj r = f.try_native(native_Genkey, dd.get())) return r;
  const Obj zero = num(0);
  const Obj one = num(1);
  f.line = 267;
  {
    Obj nn = GLOBAL(n);
    Obj nm1 = GLOBAL(n) - one;
    if ((nn & nm1).ne(zero)) {
      f.line = 268;
      value_error("n值应为为2的幂次");
    }
  }
  f.line = 270;
  {
    Obj qq = GLOBAL(q);
    Obj kn = GLOBAL(k) * GLOBAL(n);
    if (qq.ne(kn + one)) {
      f.line = 271;
      value_error("q should be equal to k*n+1");
    }
  }
  f.line = 273;
  {
    Obj sqrt = GLOBAL(math).attr(NAME(sqrt));
    Obj limit = to_int(sqrt(GLOBAL(q))) + one;
    for_range(num(2), limit, [&](Obj ic) {
      f.line = 274;
      Obj gcd = GLOBAL(math).attr(NAME(gcd));
      if (gcd(GLOBAL(q), ic) > one) {
        f.line = 275;
        value_error("q should be prime");
      }
      f.line = 273;
    });
  }
  f.line = 277;
  Obj s = zeros({GLOBAL(kk), GLOBAL(n)});
  f.line = 278;
  Obj e = zeros({GLOBAL(kk), GLOBAL(n)});
  f.line = 280;
  Obj rho, sigma;
  {
    Obj G = GLOBAL(G);
    unpack2(G(dd), rho, sigma);
  }
  f.line = 284;
  Obj mat;
  {
    Obj gen = GLOBAL(generate_mat_a);
    mat = gen(rho, GLOBAL(kk));
  }
  Obj N = zero;
  noise_rows(f, s, sigma, N, NAME(eta1), 287);
  noise_rows_nested(f, e, sigma, N, NAME(eta1), 292);
  f.line = 297;
  Obj new_s = zeros({GLOBAL(kk), GLOBAL(n)});
  f.line = 298;
  Obj new_e = zeros({GLOBAL(kk), GLOBAL(n)});
  f.line = 299;
  Obj t = zeros({GLOBAL(kk), GLOBAL(n)});
  f.line = 301;
  for_range(zero, GLOBAL(kk), [&](Obj ic) {
    f.line = 302;
    Obj ntt = GLOBAL(ntt3);
    new_s.set(tuple_of({ic, whole()}), ntt(s[tuple_of({ic, whole()})]));
    f.line = 303;
    ntt = GLOBAL(ntt3);
    new_e.set(tuple_of({ic, whole()}), ntt(e[tuple_of({ic, whole()})]));
    f.line = 301;
  });
  f.line = 306;
  Obj vec = zeros({GLOBAL(kk), GLOBAL(kk), GLOBAL(n)});
  products(f, vec, mat, new_s, 307);
  f.line = 311;
  Obj tem = zeros({GLOBAL(kk), GLOBAL(n)});
  f.line = 312;
  for_range(zero, GLOBAL(kk), [&](Obj ic) {
    f.line = 313;
    for_range(zero, GLOBAL(n), [&](Obj ii) {
      Obj at = tuple_of({ic, ii});
      f.line = 314;
      for_range(zero, GLOBAL(kk), [&](Obj j) {
        f.line = 315;
        tem.set(at, tem[at] + vec[tuple_of({ic, j, ii})]);
        f.line = 314;
      });
      f.line = 318;
      t.set(at, (tem[at] + new_e[at]) % GLOBAL(q));
      f.line = 313;
    });
    f.line = 312;
  });
  f.line = 320;
  Obj pk_cpa;
  {
    Obj enc = GLOBAL(encode);
    pk_cpa = enc(list_of({t}), num(12));
  }
  f.line = 321;
  pk_cpa = GLOBAL(bits_to_bytes)(pk_cpa);
  f.line = 323;
  {
    Obj fn = GLOBAL(binascii).attr(NAME(hexlify));
    pk_cpa = fn(pk_cpa + rho);
  }
  f.line = 325;
  Obj sk_cpa;
  {
    Obj enc = GLOBAL(encode);
    sk_cpa = enc(list_of({new_s}), num(12));
  }
  f.line = 326;
  sk_cpa = GLOBAL(bits_to_bytes)(sk_cpa);
  f.line = 327;
  sk_cpa = hexlify(sk_cpa);
  f.line = 329;
  return list_of({pk_cpa, sk_cpa});
}

Obj body_Enc(Frame& f, Obj* a) {
  Obj pk_cpa = a[0], ran_m = a[1], rand = a[2];
  if (Obj r = f.try_native(native_Enc, f, pk_cpa.get(), ran_m.get(), rand.get())) return r;
  const Obj zero = num(0);
  const Obj one = num(1);
  f.line = 334;
  rand = unhexlify(rand);
  f.line = 335;
  Obj ran1;
  {
    Obj h2b = GLOBAL(hex_to_bits);
    ran1 = h2b(hexlify(ran_m));
  }
  f.line = 336;
  Obj ran = repeat_list(zero, GLOBAL(n));
  f.line = 338;
  for_range(zero, GLOBAL(n), [&](Obj i) {
    f.line = 339;
    ran.set(i, to_int(ran1[i]));
    f.line = 338;
  });
  f.line = 341;
  pk_cpa = unhexlify(pk_cpa);
  f.line = 342;
  Obj newt = pk_cpa.slice(Obj(), num(-32), Obj());
  f.line = 343;
  Obj rho = pk_cpa.slice(num(-32), Obj(), Obj());
  f.line = 345;
  newt = hexlify(newt);
  f.line = 346;
  newt = GLOBAL(hex_to_bits)(newt);
  f.line = 347;
  {
    Obj dec = GLOBAL(decode);
    newt = dec(newt, num(12));
  }
  f.line = 353;
  for_range(zero, GLOBAL(n), [&](Obj i) {
    f.line = 354;
    Obj scale = to_int(GLOBAL(q) / num(2)) + one;
    ran.set(i, ran[i] * scale);
    f.line = 353;
  });
  f.line = 356;
  Obj newa;
  {
    Obj gen = GLOBAL(generate_mat_a);
    newa = gen(rho, GLOBAL(kk));
  }
  f.line = 357;
  for_range(zero, GLOBAL(kk), [&](Obj ii) {
    f.line = 358;
    for_range(ii + one, GLOBAL(kk), [&](Obj jj) {
      f.line = 359;
      for_range(zero, GLOBAL(n), [&](Obj ll) {
        Obj lower = tuple_of({jj, ii, ll});
        Obj upper = tuple_of({ii, jj, ll});
        f.line = 360;
        Obj tem = newa[lower];
        f.line = 361;
        newa.set(lower, newa[upper]);
        f.line = 362;
        newa.set(upper, tem);
        f.line = 359;
      });
      f.line = 358;
    });
    f.line = 357;
  });
  Obj N = zero;
  f.line = 366;
  Obj rr = zeros({GLOBAL(kk), GLOBAL(n)});
  f.line = 368;
  Obj e1 = zeros({GLOBAL(kk), GLOBAL(n)});
  noise_rows(f, rr, rand, N, NAME(eta1), 369);
  noise_rows_nested(f, e1, rand, N, NAME(eta2), 373);
  f.line = 377;
  Obj e2;
  {
    Obj cbd = GLOBAL(CBD);
    Obj prf = GLOBAL(PRF);
    Obj input_bytes = prf(rand, byte_of(N), GLOBAL(eta2));
    e2 = cbd(input_bytes, GLOBAL(eta2));
  }
  f.line = 379;
  Obj new_r = zeros({GLOBAL(kk), GLOBAL(n)});
  f.line = 380;
  for_range(zero, GLOBAL(kk), [&](Obj i) {
    f.line = 381;
    Obj ntt = GLOBAL(ntt3);
    new_r.set(tuple_of({i, whole()}), ntt(rr[tuple_of({i, whole()})]));
    f.line = 380;
  });
  f.line = 385;
  Obj newu = zeros({GLOBAL(kk), GLOBAL(n)});
  f.line = 386;
  Obj vec = zeros({GLOBAL(kk), GLOBAL(kk), GLOBAL(n)});
  products(f, vec, newa, new_r, 388);
  f.line = 392;
  for_range(zero, GLOBAL(kk), [&](Obj i) {
    f.line = 393;
    for_range(zero, GLOBAL(n), [&](Obj c) {
      Obj at = tuple_of({i, c});
      f.line = 394;
      for_range(zero, GLOBAL(kk), [&](Obj j) {
        f.line = 395;
        newu.set(at, newu[at] + vec[tuple_of({i, j, c})]);
        f.line = 394;
      });
      f.line = 396;
      newu.set(at, newu[at] % GLOBAL(q));
      f.line = 393;
    });
    f.line = 392;
  });
  f.line = 398;
  Obj u = zeros({GLOBAL(kk), GLOBAL(n)});
  f.line = 399;
  for_range(zero, GLOBAL(kk), [&](Obj i) {
    f.line = 400;
    Obj inv = GLOBAL(intt3);
    u.set(tuple_of({i, whole()}), inv(newu[tuple_of({i, whole()})]));
    f.line = 401;
    for_range(zero, GLOBAL(n), [&](Obj c) {
      Obj at = tuple_of({i, c});
      f.line = 402;
      u.set(at, (u[at] + e1[at]) % GLOBAL(q));
      f.line = 401;
    });
    f.line = 399;
  });
  f.line = 405;
  Obj v = repeat_list(zero, GLOBAL(n));
  f.line = 406;
  Obj newv = repeat_list(zero, GLOBAL(n));
  f.line = 407;
  vec = zeros({GLOBAL(kk), GLOBAL(n)});
  row_products(f, vec, newt, new_r, 408);
  f.line = 411;
  for_range(zero, GLOBAL(n), [&](Obj c) {
    f.line = 412;
    for_range(zero, GLOBAL(kk), [&](Obj kd) {
      f.line = 413;
      newv.set(c, newv[c] + vec[tuple_of({kd, c})]);
      f.line = 412;
    });
    f.line = 411;
  });
  f.line = 415;
  newv = GLOBAL(intt3)(newv);
  f.line = 417;
  for_range(zero, GLOBAL(n), [&](Obj c) {
    f.line = 418;
    newv.set(c, newv[c] + e2[c]);
    f.line = 419;
    v.set(c, (newv[c] + ran[c]) % GLOBAL(q));
    f.line = 417;
  });
  f.line = 422;
  for_range(zero, GLOBAL(kk), [&](Obj i) {
    f.line = 423;
    for_range(zero, GLOBAL(n), [&](Obj c) {
      Obj at = tuple_of({i, c});
      f.line = 424;
      Obj comp = GLOBAL(compress);
      u.set(at, comp(u[at], GLOBAL(du)));
      f.line = 423;
    });
    f.line = 422;
  });
  f.line = 425;
  for_range(zero, GLOBAL(n), [&](Obj c) {
    f.line = 426;
    Obj comp = GLOBAL(compress);
    v.set(c, comp(v[c], GLOBAL(dv)));
    f.line = 425;
  });
  f.line = 428;
  Obj u_code;
  {
    Obj enc = GLOBAL(encode);
    u_code = enc(list_of({u}), GLOBAL(du));
  }
  f.line = 429;
  u_code = GLOBAL(bits_to_bytes)(u_code);
  f.line = 431;
  Obj v_code;
  {
    Obj enc = GLOBAL(encode);
    v_code = enc(list_of({list_of({v})}), GLOBAL(dv));
  }
  f.line = 432;
  v_code = GLOBAL(bits_to_bytes)(v_code);
  f.line = 434;
  {
    Obj fn = GLOBAL(binascii).attr(NAME(hexlify));
    return fn(u_code + v_code);
  }
}

Obj body_Dec(Frame& f, Obj* a) {
  Obj uv_code = a[0], sk_cpa = a[1];
  if (Obj r = f.try_native(native_Dec, f, uv_code.get(), sk_cpa.get())) return r;
  const Obj zero = num(0);
  f.line = 442;
  sk_cpa = unhexlify(sk_cpa);
  f.line = 443;
  sk_cpa = hexlify(sk_cpa);
  f.line = 444;
  sk_cpa = GLOBAL(hex_to_bits)(sk_cpa);
  f.line = 445;
  {
    Obj dec = GLOBAL(decode);
    sk_cpa = dec(sk_cpa, num(12));
  }
  f.line = 447;
  uv_code = unhexlify(uv_code);
  f.line = 448;
  uv_code = hexlify(uv_code);
  f.line = 451;
  Obj ud = GLOBAL(hex_to_bits)(uv_code);
  f.line = 452;
  {
    Obj dec = GLOBAL(decode);
    ud = dec(ud, GLOBAL(du));
  }
  f.line = 454;
  Obj vd;
  {
    Obj start = to_int(GLOBAL(kk) * GLOBAL(n) * GLOBAL(du) / num(4));
    vd = uv_code.slice(start, Obj(), Obj());
  }
  f.line = 456;
  vd = GLOBAL(hex_to_bits)(vd);
  f.line = 458;
  Obj v;
  {
    Obj dec = GLOBAL(decode);
    v = dec(vd, GLOBAL(dv));
  }
  f.line = 460;
  for_range(zero, GLOBAL(kk), [&](Obj ic) {
    f.line = 461;
    for_range(zero, GLOBAL(n), [&](Obj j) {
      f.line = 462;
      Obj dec = GLOBAL(decompress);
      Obj at = tuple_of({ic, j});
      ud.set(at, dec(ud[at], GLOBAL(du)));
      f.line = 461;
    });
    f.line = 460;
  });
  f.line = 464;
  v = v[zero];
  f.line = 465;
  for_range(zero, GLOBAL(n), [&](Obj ic) {
    f.line = 466;
    Obj dec = GLOBAL(decompress);
    v.set(ic, dec(v[ic], GLOBAL(dv)));
    f.line = 465;
  });
  f.line = 468;
  Obj dem = repeat_list(zero, GLOBAL(n));
  f.line = 469;
  Obj vv = repeat_list(zero, GLOBAL(n));
  f.line = 470;
  Obj newu = zeros({GLOBAL(kk), GLOBAL(n)});
  f.line = 471;
  for_range(zero, GLOBAL(kk), [&](Obj ic) {
    f.line = 472;
    Obj ntt = GLOBAL(ntt3);
    newu.set(tuple_of({ic, whole()}), ntt(ud[tuple_of({ic, whole()})]));
    f.line = 471;
  });
  f.line = 474;
  Obj vec = zeros({GLOBAL(kk), GLOBAL(n)});
  row_products(f, vec, sk_cpa, newu, 475);
  f.line = 478;
  for_range(zero, GLOBAL(n), [&](Obj ic) {
    f.line = 479;
    for_range(zero, GLOBAL(kk), [&](Obj kd) {
      f.line = 480;
      vv.set(ic, vv[ic] + vec[tuple_of({kd, ic})]);
      f.line = 479;
    });
    f.line = 481;
    vv.set(ic, vv[ic] % GLOBAL(q));
    f.line = 478;
  });
  f.line = 483;
  Obj xx = GLOBAL(intt3)(vv);
  f.line = 485;
  for_range(zero, GLOBAL(n), [&](Obj ic) {
    f.line = 486;
    dem.set(ic, (v[ic] - xx[ic]) % GLOBAL(q));
    f.line = 485;
  });
  f.line = 488;
  for_range(zero, GLOBAL(n), [&](Obj ic) {
    f.line = 489;
    Obj comp = GLOBAL(compress);
    dem.set(ic, comp(dem[ic], num(1)));
    f.line = 488;
  });
  return dem;
}

}  // namespace latkem
