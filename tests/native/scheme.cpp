// The encryption scheme and the key encapsulation: the known answers in the
// vector file, round trips over every parameter set, keys with unreduced
// coefficients, and the fused entry points against the steps they fuse.
#include <cctype>
#include <cstring>

#include "check.h"

namespace selftest {
namespace {

const Params kP512 = {2, 3, 2, 10, 4};

Bytes sha3_256v(const Bytes& in) {
  Bytes o(32);
  sha3_256(in.data(), in.size(), o.data());
  return o;
}

// The key encapsulation as the steps that kem_enc and kem_dec fuse, one by one.
struct KemRef {
  Bytes ct, key;
};

KemRef kem_enc_steps(const Params& p, const Bytes& pk, const Bytes& msg) {
  uint8_t pre[64], split[64];
  KemRef r{Bytes(ct_bytes(p)), Bytes(32)};
  sha3_256(msg.data(), msg.size(), pre);
  sha3_256(pk.data(), pk.size(), pre + 32);
  sha3_512(pre, 64, split);
  kpke_enc(p, pk.data(), pre, split + 32, 32, r.ct.data());
  sha3_256(r.ct.data(), r.ct.size(), split + 32);
  shake256(split, 64, r.key.data(), 32);
  return r;
}

Bytes kem_dec_steps(const Params& p, const Bytes& ct, const std::string& text, const Bytes& sk,
                    const Bytes& pk, const Bytes& z, uint8_t& same) {
  uint8_t pre[64], split[64], accept[32], reject[32];
  Bytes again(ct.size()), key(32);
  kpke_dec(p, ct.data(), sk.data(), pre);
  sha3_256(pk.data(), pk.size(), pre + 32);
  sha3_512(pre, 64, split);
  kpke_enc(p, pk.data(), pre, split + 32, 32, again.data());
  same = uint8_t(tohex(again.data(), again.size()) == text);
  sha3_256(ct.data(), ct.size(), split + 32);
  shake256(split, 64, accept, 32);
  std::memcpy(split, z.data(), 32);
  shake256(split, 64, reject, 32);
  std::memcpy(key.data(), same ? accept : reject, 32);
  return key;
}

}  // namespace

void test_vectors(const Lines& lines) {
  int nk = 0, ne = 0, nd = 0;
  for (const auto& f : lines) {
    if (f[0] == "keygen") {
      const Bytes d = unhex(f[1]), ek = unhex(f[2]), dk = unhex(f[3]);
      Bytes pk(pk_bytes(kP512)), sk(sk_bytes(kP512));
      const bool ok = kpke_keygen(kP512, d.data(), d.size(), pk.data(), sk.data());
      CHECK(ok && pk == ek && std::memcmp(sk.data(), dk.data(), sk.size()) == 0, "keygen vector %d", nk);
      ++nk;
    } else if (f[0] == "encap") {
      const Bytes ek = unhex(f[1]), m = unhex(f[2]), c = unhex(f[3]), k = unhex(f[4]);
      uint8_t kr[64];
      const Bytes g_in = cat(m, sha3_256v(ek));
      sha3_512(g_in.data(), g_in.size(), kr);
      Bytes ct(ct_bytes(kP512));
      const bool ok = kpke_enc(kP512, ek.data(), m.data(), kr + 32, 32, ct.data());
      CHECK(ok && ct == c && std::memcmp(kr, k.data(), 32) == 0, "encap vector %d", ne);
      ++ne;
    } else if (f[0] == "decap") {
      const Bytes ek = unhex(f[1]), dk = unhex(f[2]), c = unhex(f[3]), k = unhex(f[4]);
      const bool modified = f[5] == "1";
      uint8_t m[32], kr[64], kbar[32];
      kpke_dec(kP512, c.data(), dk.data(), m);
      const Bytes g_in = cat(Bytes(m, m + 32), sha3_256v(ek));
      sha3_512(g_in.data(), g_in.size(), kr);
      Bytes c2(ct_bytes(kP512));
      kpke_enc(kP512, ek.data(), m, kr + 32, 32, c2.data());
      const Bytes j_in = cat(Bytes(dk.end() - 32, dk.end()), c);
      shake256(j_in.data(), j_in.size(), kbar, 32);
      const uint8_t same = ct_equal(c.data(), c2.data(), c.size());
      uint8_t key[32];
      ct_select(key, kr, kbar, 32, same);
      CHECK(same == (modified ? 0 : 1) && std::memcmp(key, k.data(), 32) == 0, "decap vector %d", nd);
      ++nd;
    }
  }
  CHECK(nk == 25 && ne == 25 && nd == 10, "vector counts %d %d %d", nk, ne, nd);
}

void test_roundtrip() {
  Rng rng(6);
  int failures = 0, runs = 0;
  for (const Params& p : every_params()) {
    for (int trial = 0; trial < 3; ++trial) {
      const Bytes seed = rng.bytes(32), msg = rng.bytes(32), coins = rng.bytes(32);
      Bytes pk(pk_bytes(p)), sk(sk_bytes(p)), ct(ct_bytes(p));
      uint8_t out[32];
      const bool ok = kpke_keygen(p, seed.data(), seed.size(), pk.data(), sk.data()) &&
                      kpke_enc(p, pk.data(), msg.data(), coins.data(), coins.size(), ct.data()) &&
                      kpke_dec(p, ct.data(), sk.data(), out);
      failures += !(ok && std::memcmp(out, msg.data(), 32) == 0);
      ++runs;
    }
  }
  CHECK(failures == 0, "decryption failed in %d of %d round trips", failures, runs);
  const Params bad[] = {{1, 3, 2, 10, 4}, {5, 3, 2, 10, 4}, {2, 1, 2, 10, 4}, {2, 3, 4, 10, 4},
                        {2, 3, 2, 12, 4}, {2, 3, 2, 10, 6}};
  uint8_t buf[4096] = {0}, out[32];
  bool ok = true;
  for (const auto& p : bad) ok &= !params_valid(p) && !kpke_dec(p, buf, buf, out);
  CHECK(ok, "invalid parameters accepted");

  // Stored 12-bit values x + q (malformed keys) act as x.
  const Params p = {3, 2, 2, 10, 4};
  const Bytes seed = rng.bytes(32), msg = rng.bytes(32), coins = rng.bytes(32);
  Bytes pk(pk_bytes(p)), sk(sk_bytes(p)), ct(ct_bytes(p)), ct2(ct_bytes(p));
  kpke_keygen(p, seed.data(), 32, pk.data(), sk.data());
  kpke_enc(p, pk.data(), msg.data(), coins.data(), 32, ct.data());
  Bytes pk2 = pk, sk2 = sk;
  for (int i = 0; i < p.kk; ++i) {
    int16_t t[kN];
    byte_decode(t, pk2.data() + 384 * i, 12);
    for (int j = 0; j < kN; ++j)
      if (t[j] + Q < 4096) t[j] = int16_t(t[j] + Q);
    byte_encode(pk2.data() + 384 * i, t, 12);
    byte_decode(t, sk2.data() + 384 * i, 12);
    for (int j = 0; j < kN; ++j)
      if (t[j] + Q < 4096) t[j] = int16_t(t[j] + Q);
    byte_encode(sk2.data() + 384 * i, t, 12);
  }
  CHECK(pk2 != pk && sk2 != sk, "test setup: keys unchanged");
  kpke_enc(p, pk2.data(), msg.data(), coins.data(), 32, ct2.data());
  CHECK(ct2 == ct, "encryption under unreduced public key differs");
  uint8_t out2[32];
  kpke_dec(p, ct.data(), sk2.data(), out2);
  CHECK(std::memcmp(out2, msg.data(), 32) == 0, "decryption under unreduced secret key differs");
}

void test_kem() {
  Rng rng(12);
  const Params sets[] = {{2, 3, 2, 10, 4}, {3, 2, 3, 11, 5}, {4, 2, 2, 11, 5}};
  // Message lengths around the rate of H, whose input may take several blocks.
  const size_t lengths[] = {32, 0, 1, 135, 136, 137, 300};
  int n = 0;
  for (const Params& p : sets)
    for (size_t len : lengths) {
      const Bytes seed = rng.bytes(32), msg = rng.bytes(len), z = rng.bytes(32);
      Bytes pk(pk_bytes(p)), sk(sk_bytes(p)), ct(ct_bytes(p)), key(32), h(32);
      kpke_keygen(p, seed.data(), 32, pk.data(), sk.data());
      sha3_256(pk.data(), pk.size(), h.data());
      const KemRef ref = kem_enc_steps(p, pk, msg);
      CHECK(kem_enc(p, pk.data(), msg.data(), len, ct.data(), key.data()) && ct == ref.ct &&
                key == ref.key,
            "kem_enc kk=%d, message of %zu bytes", p.kk, len);
      // The ciphertext as sent, altered in one bit, and in upper case (the
      // same bytes, another text: rejected).
      for (int form = 0; form < 3; ++form) {
        Bytes c = ref.ct;
        if (form == 1) c[size_t(rng.below(int(c.size())))] ^= uint8_t(1 << rng.below(8));
        std::string text = tohex(c.data(), c.size());
        if (form == 2)
          for (char& ch : text) ch = char(std::toupper(static_cast<unsigned char>(ch)));
        uint8_t same_ref = 2, same = 2;
        const Bytes want = kem_dec_steps(p, c, text, sk, pk, z, same_ref);
        const bool ok = kem_dec(p, c.data(), text.data(), sk.data(), pk.data(), h.data(), z.data(),
                                key.data(), same);
        CHECK(ok && same == same_ref && same == (form == 0) && key == want,
              "kem_dec kk=%d, form %d, message of %zu bytes", p.kk, form, len);
      }
      ++n;
    }
  uint8_t buf[4096] = {0}, same = 1;
  const Params bad = {5, 3, 2, 10, 4};
  CHECK(!kem_enc(bad, buf, buf, 32, buf, buf) &&
            !kem_dec(bad, buf, reinterpret_cast<const char*>(buf), buf, buf, buf, buf, buf, same) &&
            same == 0,
        "kem_enc/kem_dec accept invalid parameters");
}

}  // namespace selftest
