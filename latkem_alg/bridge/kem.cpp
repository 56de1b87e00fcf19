// The native paths of the key encapsulation (host/kem.cpp).
#include "bridge/bridge.h"
#include "bridge/paths.h"
#include "host/statements.h"

#include <cstring>

namespace latkem {
namespace bridge {

namespace {

// The same on the native path, where the core has laid the secret key's text
// out in `cca_sk` (the secret key's hex, the public key's at `pk_at`, the
// hash's at `h_at`) but for the draw's hex at its end.  When the guard still
// holds after the draw and the draw is 32 bytes, its hex completes the text,
// as binascii.hexlify gives it and the concatenation joins it; otherwise the
// pieces go on as keygen_rest says.
Obj native_keygen_tail(Frame& f, const Obj& cca_pk, const Obj& cca_sk, size_t pk_at, size_t h_at) {
  f.line = line::CCA_KeyGen::draw_z;
  Obj z = randbytes(GLOBAL(random), num(32));
  const bool shortcut = guard::allows(Fn::CCA_KeyGen);
  if (shortcut && PyBytes_CheckExact(z.get()) && PyBytes_GET_SIZE(z.get()) == 32) {
    f.line = line::CCA_KeyGen::hexlify_z;
    native::hex_encode(PyBytes_AS_STRING(cca_sk.get()) + h_at + 64,
                       bytes_data(z.get()), 32);
    f.line = line::CCA_KeyGen::result;
    return tuple_of({cca_pk, cca_sk});
  }
  const char* text = PyBytes_AS_STRING(cca_sk.get());
  Obj sk2(PyBytes_FromStringAndSize(text, static_cast<Py_ssize_t>(pk_at)));
  Obj H_cca_pk(PyBytes_FromStringAndSize(text + h_at, 64));
  return keygen_rest(f, cca_pk, sk2, H_cca_pk, z, shortcut);
}

}  // namespace

// Hostile input.  The native paths below take a ciphertext or public key in
// every container the host's binascii reads, of any case and length, and
// give the host path's result.  Where the host path fails, they run on host
// objects only the statement that fails, with its line set, handing the
// input to the callee that refuses it (Dec, Enc, H) through the module's
// globals, so that its own traceback entries appear.  The statements they
// skip read only what the guard has proved to be the module's own, so
// skipping them changes nothing but the time.  An input they cannot place
// with certainty (a subclass, a buffer of another type) is left to the host
// path.

// CCA_Enc(cca_pk, m_unhex) with the native core.
bool native_CCA_Enc(Frame& f, PyObject* cca_pk, PyObject* m_unhex, Obj& result) {
  const native::Params p = guard::params();
  const Input m(m_unhex);
  if (!bytes_like(m)) {
    // binascii.hexlify(m_unhex) refuses a str and anything without a buffer;
    // another buffer is the host path's.
    if (!refused_as_bytes(m, m_unhex)) return false;
    return f.fail_at(line::CCA_Enc::hash_message, [&] {
      Obj unhex = binascii_fn(NAME(unhexlify));
      Obj H = GLOBAL(H);
      binascii_fn(NAME(hexlify))(Obj::borrow(m_unhex));
    });
  }
  const Input pk_text(cca_pk);
  // H(cca_pk) decodes the key with binascii.unhexlify.
  auto H_refuses = [&] {
    Obj G = GLOBAL(G);
    Obj unhex = binascii_fn(NAME(unhexlify));
    GLOBAL(H)(pk_text.as_read(cca_pk));
  };
  if (refused_as_text(pk_text, cca_pk)) return f.fail_at(line::CCA_Enc::derive, H_refuses);
  if (!pk_text.readable()) return false;
  Unhexed pk(pk_text);
  const size_t pk_len = native::pk_bytes(p);
  uint8_t m_hash[32], coins[32], ct[native::kMaxCtBytes], key[32];
  native::Wiped wipe_m_hash(m_hash, sizeof m_hash), wipe_coins(coins, sizeof coins),
      wipe_key(key, sizeof key);
  bool long_enough = false, encrypted = false;
  unlocked([&] {
    if (pk.decode()) {
      long_enough = pk.size() >= pk_len;
      // The key as the module writes it: the whole encapsulation in the
      // core, its hashes sharing the sampling's Keccak passes; other lengths
      // as Enc reads them.
      if (pk.size() == pk_len)
        encrypted = native::kem_enc(p, pk.data(), m.bytes(), m.size(), ct, key);
      else
        encrypted = native::kem_enc_other(p, pk.data(), pk.size(), m.bytes(), m.size(), m_hash,
                                          coins, ct, key);
    }
  });
  if (!pk.ok()) return f.fail_at(line::CCA_Enc::derive, H_refuses);
  if (!long_enough) {
    // Enc(cca_pk, m_hash, rand) on a key too short for its rows or its seed.
    Obj m_hash_bytes = raw_bytes(m_hash, 32);
    Obj rand = hex_bytes(coins, 32);
    return f.fail_at(line::CCA_Enc::encrypt, [&] {
      Obj Enc = GLOBAL(Enc);
      Enc(pk_text.as_read(cca_pk), m_hash_bytes, rand);
    });
  }
  if (!encrypted) return false;
  result = tuple_of({hex_bytes(ct, native::ct_bytes(p)), raw_bytes(key, 32)});
  return true;
}

// CCA_Dec(c_text, cca_sk) with the native core.  The ciphertext check and the
// choice of key are constant time; only the rejection line depends on it.
bool native_CCA_Dec(Frame& f, PyObject* c_text, PyObject* cca_sk, Obj& result) {
  const native::Params p = guard::params();
  const size_t sk_len = native::sk_bytes(p), pk_len = native::pk_bytes(p),
               ct_len = native::ct_bytes(p);
  // The key comes from the host program: anything but the module's own form
  // is the host path's.
  const char* key_text;
  Py_ssize_t key_size;
  if (!text_of(cca_sk, key_text, key_size) ||
      static_cast<size_t>(key_size) != 2 * (sk_len + pk_len + 64))
    return false;
  uint8_t key[native::kMaxSkBytes + native::kMaxPkBytes + 64];
  native::Wiped wipe_key(key, static_cast<size_t>(key_size) / 2);
  if (!native::hex_decode(key, key_text, static_cast<size_t>(key_size))) return false;
  const uint8_t* sk = key;
  const uint8_t* pk = key + sk_len;
  const uint8_t* h = pk + pk_len;
  const uint8_t* z = h + 32;

  const Input c(c_text);
  // Dec(c_text, cpa_sk), on the slice of the key it is given.
  auto Dec_refuses = [&] {
    Obj cpa_sk = Obj::borrow(cca_sk).slice(num(0), num(3 * p.kk * native::kN), Obj());
    GLOBAL(Dec)(c.as_read(c_text), cpa_sk);
  };
  if (refused_as_text(c, c_text)) return f.fail_at(line::CCA_Dec::decrypt, Dec_refuses);
  if (!c.readable()) return false;
  Unhexed ct(c);
  // A memoryview has no decode (line::CCA_Dec::decode_text): its outcome is an error.
  const bool decodes = !PyMemoryView_Check(c_text);
  uint8_t out[32];
  native::Wiped wipe_out(out, sizeof out);
  bool done = false;
  uint8_t same = 0;
  unlocked([&] {
    // Dec decodes the whole text, and reads u and v from its first ct_len
    // bytes.
    if (ct.decode() && ct.size() >= ct_len && decodes) {
      if (c.size() == 2 * ct_len) {
        // The text as the module writes it: the whole decapsulation in the
        // core, its hashes sharing the sampling's Keccak passes.
        done = native::kem_dec(p, ct.data(), c.data(), sk, pk, h, z, out, same);
      } else {
        // A longer text never equals the re-encryption, whatever the
        // message decrypts to: the rejection key, over all of the
        // ciphertext's bytes.  (Its length is the sender's, not a secret.)
        native::kem_reject(z, ct.data(), ct.size(), out);
        done = true;
      }
    }
  });
  if (!ct.ok() || ct.size() < ct_len) return f.fail_at(line::CCA_Dec::decrypt, Dec_refuses);
  if (!decodes) {
    // Nothing was printed before it.
    return f.fail_at(line::CCA_Dec::decode_text,
                     [&] { Obj::borrow(c_text).method(NAME(decode), text("utf-8")); });
  }
  if (!done) return false;
  if (!same) {
    // The print is a host statement: the guard is asked again first.
    if (!f.guard_holds()) return false;
    f.line = line::CCA_Dec::print_reject;
    Obj::borrow(builtins.print)(text("错了"));
    // The print ran user code (the host's standard output).  Where that
    // changed what the last statement relies on, it runs as the host path
    // runs it, on the rest of the key and on the text as decode_text made it
    // before the print (a bytearray may have changed since).
    if (!guard::allows(Fn::CCA_Dec)) {
      const Py_ssize_t size = static_cast<Py_ssize_t>(c.size());
      Obj c_str = PyUnicode_Check(c_text) ? Obj::borrow(c_text)
                                          : Obj(PyUnicode_DecodeASCII(c.data(), size, nullptr));
      const long long z_at = 2 * static_cast<long long>(sk_len + pk_len + 32);
      result = rejection_key(f, Obj::borrow(cca_sk).slice(num(z_at), Obj(), Obj()), c_str);
      return true;
    }
    f.line = line::CCA_Dec::reject_key;
  } else {
    f.line = line::CCA_Dec::shared_key;
  }
  result = raw_bytes(out, 32);
  return true;
}

// CCA_KeyGen() with the native core, once the seed `dd` is drawn: the key
// pair and its hash, written out as hex with the host's lock released (the
// seed is a bytes object the caller holds, the texts are bytes objects
// nothing else refers to yet); the second draw and the rest as
// `native_keygen_tail` says.
bool native_CCA_KeyGen(Frame& f, PyObject* dd, Obj& result) {
  if (!PyBytes_CheckExact(dd)) return false;
  const native::Params p = guard::params();
  const size_t pk_len = native::pk_bytes(p), sk_len = native::sk_bytes(p);
  const size_t pk_at = 2 * sk_len, h_at = pk_at + 2 * pk_len, size = h_at + 128;
  Obj pk_hex(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(2 * pk_len)));
  Obj sk_hex(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
  char* pk_text = PyBytes_AS_STRING(pk_hex.get());
  char* sk_text = PyBytes_AS_STRING(sk_hex.get());
  const uint8_t* seed = bytes_data(dd);
  const size_t seed_len = static_cast<size_t>(PyBytes_GET_SIZE(dd));
  uint8_t pk[native::kMaxPkBytes], sk[native::kMaxSkBytes], digest[32];
  native::Wiped wipe_sk(sk, sizeof sk);
  bool made;
  unlocked([&] {
    made = native::kpke_keygen(p, seed, seed_len, pk, sk);
    if (made) {
      native::sha3_256(pk, pk_len, digest);
      native::hex_encode(pk_text, pk, pk_len);
      native::hex_encode(sk_text, sk, sk_len);
      std::memcpy(sk_text + pk_at, pk_text, 2 * pk_len);
      native::hex_encode(sk_text + h_at, digest, 32);
    }
  });
  // The draw that follows is a host statement: the guard is asked again
  // first, and where it no longer holds, the host path goes on from the
  // statement after the first draw.
  if (!made || !f.guard_holds()) return false;
  result = native_keygen_tail(f, pk_hex, sk_hex, pk_at, h_at);
  return true;
}

}  // namespace bridge
}  // namespace latkem
