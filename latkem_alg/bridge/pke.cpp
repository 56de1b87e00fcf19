// The native paths of the encryption scheme (host/pke.cpp).
#include "bridge/bridge.h"
#include "bridge/paths.h"
#include "host/statements.h"

#include <cstring>

namespace latkem {
namespace bridge {

namespace {

// The statement at `line` that hands hex text to unhexlify, for text the host
// refuses there; false (the host path) for an argument not surely refused.
bool fail_unhexlify(Frame& f, int line, const Input& in, PyObject* arg) {
  if (!in.readable() && !refused_as_text(in, arg)) return false;
  return f.fail_at(line, [&] { unhexlify(in.as_read(arg)); });
}

}  // namespace

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
  const uint8_t* seed = bytes_data(dd);
  const size_t seed_len = static_cast<size_t>(PyBytes_GET_SIZE(dd));
  uint8_t pk[native::kMaxPkBytes];
  uint8_t sk[native::kMaxSkBytes];
  native::Wiped wipe_sk(sk, sizeof sk);
  bool made;
  unlocked([&] {
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

// Enc(pk_cpa, ran_m, rand) with the native core, for every argument the host
// path reads as it is: hex text in any container binascii takes (any case,
// any length), a message in any bytes-like container of binascii.  An
// argument the host path fails on fails at the host path's statement.
bool native_Enc(Frame& f, PyObject* pk_cpa, PyObject* ran_m, PyObject* rand, Obj& result) {
  const native::Params p = guard::params();
  const size_t row_bytes = size_t(native::kPolyBytes) * p.kk;  // t: kk rows at 12 bits
  Input coins_in(rand), message_in(ran_m), key_in(pk_cpa);
  Unhexed coins(coins_in), key(key_in);
  uint8_t message[32];
  native::Wiped wipe_message(message, sizeof message);
  uint8_t pk[native::kMaxPkBytes];
  uint8_t ct[native::kMaxCtBytes];
  const bool message_read = bytes_like(message_in) && message_in.size() >= 32;
  bool done = false;
  unlocked([&] {
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
    result = hex_bytes(ct, native::ct_bytes(p));
    return true;
  }
  if (!coins.ok()) return fail_unhexlify(f, line::Enc::unhex_coins, coins_in, rand);
  if (!bytes_like(message_in)) {
    if (!refused_as_bytes(message_in, ran_m)) return false;
    return f.fail_at(line::Enc::message_bits, [&] { hexlify(Obj::borrow(ran_m)); });
  }
  if (message_in.size() < 32) {
    // ran[i] = int(ran1[i]) meets the end of the message's bits.
    return f.fail_at(line::Enc::read_bit, [&] {
      const Py_ssize_t bits = 8 * static_cast<Py_ssize_t>(message_in.size());
      Obj ran1(PyUnicode_New(bits, 127));
      std::memset(PyUnicode_DATA(ran1.get()), '0', static_cast<size_t>(bits));
      ran1[Obj(PyLong_FromSsize_t(bits))];
    });
  }
  if (!key.ok()) return fail_unhexlify(f, line::Enc::unhex_key, key_in, pk_cpa);
  if (key.size() < 32) {
    // The seed is the whole key, too short for XOF.
    return f.fail_at(line::Enc::make_a, [&] {
      Obj rho = raw_bytes(key.data(), key.size());
      Obj gen = GLOBAL(generate_mat_a);
      gen(rho, GLOBAL(kk));
    });
  }
  if (key.size() < row_bytes + 32) {
    // Fewer than kk rows of t: the products fail at the first missing row,
    // once the matrix has been expanded, which fails (on the host path too)
    // only if its stream runs out.
    bool expands = true;
    unlocked([&] {
      const uint8_t* rho = key.data() + key.size() - 32;
      native::Poly entry;
      for (int i = 0; i < p.kk; ++i)
        for (int j = 0; j < p.kk; ++j)
          expands = native::sample_matrix_entry(entry, rho, uint8_t(i), uint8_t(j)) && expands;
    });
    if (!expands) return false;
    return f.fail_at(line::Enc::t_mul, [&] {
      missing_row((key.size() - 32) / native::kPolyBytes, whole());
    });
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
  Input key_in(sk_cpa), text_in(uv_code);
  Unhexed key(key_in), text(text_in);
  uint8_t message[32];
  native::Wiped wipe_message(message, sizeof message);
  bool done = false;
  unlocked([&] {
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
  if (!key.ok()) return fail_unhexlify(f, line::Dec::unhex_key, key_in, sk_cpa);
  if (!text.ok()) return fail_unhexlify(f, line::Dec::unhex_text, text_in, uv_code);
  if (text.size() < u_bytes) {
    // ud[ic, j] at the first row decode did not make.
    return f.fail_at(line::Dec::decompress_u,
                     [&] { missing_row(text.size() / (32 * p.du), num(0)); });
  }
  if (text.size() < native::ct_bytes(p)) {
    // v = v[0] of an array of no rows.
    return f.fail_at(line::Dec::first_row_v, [&] {
      Obj v = zero_rows_of(0);
      v[num(0)];
    });
  }
  if (key.size() < native::sk_bytes(p)) {
    // ntt3_mul(sk_cpa[ic, :], ...) at the first missing row of the key.
    return f.fail_at(line::Dec::key_mul,
                     [&] { missing_row(key.size() / native::kPolyBytes, whole()); });
  }
  return false;
}

}  // namespace bridge
}  // namespace latkem
