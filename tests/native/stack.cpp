// No secret left on the stack: a region below the caller's frame is painted,
// an operation runs in it, and the region is read back and searched for
// pieces and words of the operation's secrets.  Meaningless under
// AddressSanitizer (locals may live on its fake stack), hence skipped there.
#include <algorithm>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

#include "check.h"

#if defined(__SANITIZE_ADDRESS__)
#define SELFTEST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define SELFTEST_ASAN 1
#endif
#endif

#if defined(_MSC_VER)
#define SELFTEST_NOINLINE __declspec(noinline)
#else
#define SELFTEST_NOINLINE __attribute__((noinline))
#endif

namespace selftest {

#if !defined(SELFTEST_ASAN)
namespace {

constexpr size_t kRegion = 64 * 1024;

// Paints the region (copy null) or copies it out.  One function for both, so
// that both see the same addresses.
SELFTEST_NOINLINE void stack_region(uint8_t* copy) {
  uint8_t region[kRegion];
  volatile uint8_t* r = region;  // painted for real, read as found
  if (copy == nullptr) {
    for (size_t i = 0; i < kRegion; ++i) r[i] = uint8_t(0xA5 ^ (i * 131 >> 3));
  } else {
    for (size_t i = 0; i < kRegion; ++i) copy[i] = r[i];
  }
}

// Runs op(ctx) a little deeper, so that the top of its frame, next to the
// caller's, is inside the region too.
SELFTEST_NOINLINE void run_lower(void (*op)(void*), void* ctx) {
  volatile uint8_t pad[256];
  pad[0] = 0;
  op(ctx);
  pad[1] = pad[0];
}

// The stack region as op(ctx), called at the same depth, left it.
SELFTEST_NOINLINE void stack_after(void (*op)(void*), void* ctx, uint8_t* copy) {
  stack_region(nullptr);
  run_lower(op, ctx);
  stack_region(copy);
}

struct Secret {
  const char* name;
  Bytes value;
};

template <class T>
Bytes as_bytes(const T* p, size_t count) {
  const uint8_t* b = reinterpret_cast<const uint8_t*>(p);
  return Bytes(b, b + sizeof(T) * count);
}

// Whether a piece of a secret tells it apart from what other code leaves on
// the stack: in 16 bytes, three different byte values at least and no more
// than half of them zero (small coefficients, not mostly zero like counters
// and flags); in 8, seven different values (nearly every word of random
// bytes; never a word of small coefficients, counters or padding).
bool telling(const uint8_t* p, size_t n) {
  if (n == 8) return std::set<uint8_t>(p, p + n).size() >= 7;
  return std::set<uint8_t>(p, p + n).size() >= 3 && std::count(p, p + n, 0) <= 8;
}

// The secrets found in the region after op: a 16-byte piece of one (at a
// multiple of 8), as a buffer holds it, or any 8-byte word of one, as the
// lanes of the multi-way Keccak hold it (four states interleaved word by
// word, where no two words of one state are next to each other).
std::string left_behind(void (*op)(void*), void* ctx, const std::vector<Secret>& secrets) {
  static Bytes copy(kRegion);
  // On a thread of its own, whose registers hold nothing of the test's: the
  // prologues of the operation's functions save the registers they use, and
  // what the test had in them (its copies of the secrets) would be found.
  std::thread worker([&] { stack_after(op, ctx, copy.data()); });
  worker.join();
  std::unordered_set<std::string> pieces;
  std::unordered_set<uint64_t> words;
  for (size_t i = 0; i + 16 <= kRegion; ++i)
    pieces.insert(std::string(reinterpret_cast<const char*>(copy.data() + i), 16));
  for (size_t i = 0; i + 8 <= kRegion; ++i) {
    uint64_t w;
    std::memcpy(&w, copy.data() + i, 8);
    words.insert(w);
  }
  std::string found;
  for (const Secret& s : secrets) {
    bool seen = false;
    for (size_t i = 0; !seen && i + 16 <= s.value.size(); i += 8)
      seen = telling(s.value.data() + i, 16) &&
             pieces.count(std::string(reinterpret_cast<const char*>(s.value.data() + i), 16));
    for (size_t i = 0; !seen && i + 8 <= s.value.size(); ++i) {
      uint64_t w;
      std::memcpy(&w, s.value.data() + i, 8);
      seen = telling(s.value.data() + i, 8) && words.count(w);
    }
    if (seen) found += std::string(found.empty() ? "" : ", ") + s.name;
  }
  return found;
}

// The inputs and outputs of the operations live on the heap, above the region.
struct StackCase {
  Params p;
  Bytes seed, msg, coins, z, pk, sk, ct, ct2, h, m, split, pre, key, reject, longer;
  uint8_t out[32];
};

void cca_keygen_op(void* c) {
  StackCase& t = *static_cast<StackCase*>(c);
  kpke_keygen(t.p, t.seed.data(), 32, t.pk.data(), t.sk.data());
  sha3_256(t.pk.data(), t.pk.size(), t.h.data());
}

// What encapsulation and decapsulation share, once m holds the message
// digest and the public key's hash: the pre-key and coins from m, the
// encryption into out, and the shared key from the pre-key and ct's hash.
void split_enc_key(StackCase& t, Bytes& out) {
  sha3_512(t.m.data(), 64, t.split.data());
  kpke_enc(t.p, t.pk.data(), t.m.data(), t.split.data() + 32, 32, out.data());
  std::memcpy(t.pre.data(), t.split.data(), 32);
  sha3_256(t.ct.data(), t.ct.size(), t.pre.data() + 32);
  shake256(t.pre.data(), 64, t.key.data(), 32);
}

// Encapsulation as the module composes it around the core.
void cca_enc_op(void* c) {
  StackCase& t = *static_cast<StackCase*>(c);
  sha3_256(t.msg.data(), 32, t.m.data());
  std::memcpy(t.m.data() + 32, t.h.data(), 32);
  split_enc_key(t, t.ct);
}

// Decapsulation likewise, with the rejection key.
void cca_dec_op(void* c) {
  StackCase& t = *static_cast<StackCase*>(c);
  kpke_dec(t.p, t.ct.data(), t.sk.data(), t.out);
  std::memcpy(t.m.data(), t.out, 32);
  std::memcpy(t.m.data() + 32, t.h.data(), 32);
  split_enc_key(t, t.ct2);
  std::memcpy(t.pre.data(), t.z.data(), 32);
  shake256(t.pre.data(), 64, t.reject.data(), 32);
}

// The same two with the fused entry points.
void kem_enc_op(void* c) {
  StackCase& t = *static_cast<StackCase*>(c);
  kem_enc(t.p, t.pk.data(), t.msg.data(), t.msg.size(), t.ct.data(), t.key.data());
}

// kem_dec of ct as sent (bytes and text), its key into key.
void kem_dec_of(StackCase& t, const Bytes& ct, Bytes& key) {
  const std::string text = tohex(ct.data(), ct.size());
  uint8_t same;
  kem_dec(t.p, ct.data(), text.data(), t.sk.data(), t.pk.data(), t.h.data(), t.z.data(),
          key.data(), same);
}

void kem_dec_op(void* c) {
  StackCase& t = *static_cast<StackCase*>(c);
  kem_dec_of(t, t.ct, t.key);
}

// Decryption alone, as Dec runs it.
void kpke_dec_op(void* c) {
  StackCase& t = *static_cast<StackCase*>(c);
  kpke_dec(t.p, t.ct.data(), t.sk.data(), t.out);
}

// Decapsulation of the forged ciphertext in ct2: its re-encryption differs.
void forged_dec_op(void* c) {
  StackCase& t = *static_cast<StackCase*>(c);
  kem_dec_of(t, t.ct2, t.reject);
}

// Other lengths: the encapsulation to a longer key, the rejection of a
// longer ciphertext (both in `longer`).
void kem_enc_other_op(void* c) {
  StackCase& t = *static_cast<StackCase*>(c);
  kem_enc_other(t.p, t.longer.data(), t.longer.size(), t.msg.data(), t.msg.size(), t.m.data(),
                t.split.data(), t.ct2.data(), t.key.data());
}

void kem_reject_op(void* c) {
  StackCase& t = *static_cast<StackCase*>(c);
  kem_reject(t.z.data(), t.longer.data(), t.longer.size(), t.reject.data());
}

// The one-shot hashes of a secret (the message), each the last thing an
// operation does, into pre.
void sha3_256_op(void* c) {
  StackCase& t = *static_cast<StackCase*>(c);
  sha3_256(t.msg.data(), 32, t.pre.data());
}

void sha3_512_op(void* c) {
  StackCase& t = *static_cast<StackCase*>(c);
  sha3_512(t.msg.data(), 32, t.pre.data());
}

void shake128_op(void* c) {
  StackCase& t = *static_cast<StackCase*>(c);
  shake128(t.msg.data(), 32, t.pre.data(), 64);
}

void shake256_op(void* c) {
  StackCase& t = *static_cast<StackCase*>(c);
  shake256(t.msg.data(), 32, t.pre.data(), 64);
}

// Encryption with coins longer than a block, whose noise streams share
// their prefix blocks.
void long_coins_op(void* c) {
  StackCase& t = *static_cast<StackCase*>(c);
  kpke_enc(t.p, t.pk.data(), t.msg.data(), t.coins.data(), t.coins.size(), t.ct2.data());
}

SELFTEST_NOINLINE uint64_t sum_of(const volatile uint64_t* p, size_t n) {
  uint64_t r = 0;
  for (size_t i = 0; i < n; ++i) r += p[i];
  return r;
}

// Leaves the message's words as a lane of the four-way Keccak holds a state,
// every fourth word: the test must see them too.
SELFTEST_NOINLINE void leaky_lanes_op(void* c) {
  volatile uint64_t lanes[16];
  StackCase& t = *static_cast<StackCase*>(c);
  for (size_t w = 0; w < 16; ++w) {
    uint64_t x = 0;
    if (w % 4 == 1) std::memcpy(&x, t.msg.data() + 2 * w - 2, 8);
    lanes[w] = x;
  }
  t.out[0] = uint8_t(sum_of(lanes, 16));
}

SELFTEST_NOINLINE uint8_t last_of(const volatile uint8_t* p, size_t n) { return p[n - 1]; }

// Leaves a copy of the message on the stack: the test must see it.
SELFTEST_NOINLINE void leaky_op(void* c) {
  volatile uint8_t copy[32];
  StackCase& t = *static_cast<StackCase*>(c);
  for (int i = 0; i < 32; ++i) copy[i] = t.msg[size_t(i)];
  t.out[0] = last_of(copy, sizeof copy);  // an array in memory, not 32 slots
}

// Noise polynomials k0 .. k0+count-1 from a seed, as the core stores them,
// then the pseudo-random bytes they come from.
Bytes noise_polys(const Bytes& seed, int k0, int count, int eta) {
  std::vector<Poly> polys(static_cast<size_t>(count));
  for (int k = 0; k < count; ++k)
    sample_noise(polys[size_t(k)], seed.data(), seed.size(), uint8_t(k0 + k), eta);
  Bytes out = as_bytes(polys.data(), polys.size());
  for (int k = 0; k < count; ++k) {
    Bytes in = seed;
    in.push_back(uint8_t(k0 + k));
    uint8_t prf[64 * 3];
    shake256(in.data(), in.size(), prf, size_t(64) * eta);
    out.insert(out.end(), prf, prf + 64 * eta);
  }
  return out;
}

// The noise of an encryption with these coins.
Bytes enc_noise(const Params& p, const Bytes& coins) {
  Bytes noise = noise_polys(coins, 0, p.kk, p.eta1);
  const Bytes noise2 = noise_polys(coins, p.kk, p.kk + 1, p.eta2);
  noise.insert(noise.end(), noise2.begin(), noise2.end());
  return noise;
}

Bytes decoded_key(const Bytes& sk) {
  std::vector<int16_t> s(sk.size() / 384 * kN);
  for (size_t i = 0; i < sk.size() / 384; ++i) byte_decode(s.data() + kN * i, sk.data() + 384 * i, 12);
  return as_bytes(s.data(), s.size());
}

// Key generation leaves nothing of its seed, its noise or the secret key.
void stack_keygen(StackCase& t) {
  const Params& p = t.p;
  cca_keygen_op(&t);  // the keys, for the secrets
  Bytes rho_sigma(64), sigma;
  sha3_512(t.seed.data(), 32, rho_sigma.data());
  sigma.assign(rho_sigma.begin() + 32, rho_sigma.end());
  const std::string found = left_behind(cca_keygen_op, &t,
                                        {{"seed", t.seed},
                                         {"sigma", sigma},
                                         {"noise", noise_polys(sigma, 0, 2 * p.kk, p.eta1)},
                                         {"secret key", t.sk},
                                         {"decoded secret key", decoded_key(t.sk)}});
  CHECK(found.empty(), "kk=%d key generation leaves on the stack: %s", p.kk, found.c_str());
}

// What an encapsulation knows, which the decapsulation of its ciphertext
// knows too.
struct EncSecrets {
  Bytes m, key;
  Poly mp;
  std::vector<Secret> all;
};

// Encapsulation, composed and fused, and encryption with long coins.
EncSecrets stack_enc(StackCase& t, Rng& rng) {
  const Params& p = t.p;
  cca_enc_op(&t);  // the message digest and the coins, for the secrets
  EncSecrets e;
  e.m.assign(t.m.begin(), t.m.begin() + 32);
  e.key = t.key;
  const Bytes kbar(t.split.begin(), t.split.begin() + 32), coins(t.split.begin() + 32, t.split.end());
  const Bytes noise = enc_noise(p, coins);
  poly_frommsg(e.mp, e.m.data());
  e.all = {{"message", t.msg}, {"message digest", e.m},
           {"shared key", e.key}, {"pre-key", kbar},
           {"coins", coins},     {"noise", noise},
           {"message polynomial", as_bytes(&e.mp, 1)}};
  std::string found = left_behind(cca_enc_op, &t, e.all);
  CHECK(found.empty(), "kk=%d encapsulation leaves on the stack: %s", p.kk, found.c_str());
  found = left_behind(kem_enc_op, &t, e.all);
  CHECK(found.empty(), "kk=%d kem_enc leaves on the stack: %s", p.kk, found.c_str());
  t.coins = rng.bytes(200);
  found = left_behind(long_coins_op, &t,
                      {{"message", t.msg}, {"coins", t.coins}, {"noise", enc_noise(p, t.coins)}});
  CHECK(found.empty(), "kk=%d encryption with long coins leaves on the stack: %s", p.kk,
        found.c_str());
  return e;
}

// Decapsulation, composed and fused, and decryption alone.
void stack_dec(StackCase& t, const EncSecrets& e) {
  const Params& p = t.p;
  std::vector<Secret> dec_secrets = e.all;
  dec_secrets.push_back({"secret key", t.sk});
  dec_secrets.push_back({"decoded secret key", decoded_key(t.sk)});
  cca_dec_op(&t);
  CHECK(t.key == e.key && t.ct2 == t.ct, "stack test: decapsulation gave another key");
  dec_secrets.push_back({"rejection key", t.reject});
  dec_secrets.push_back({"z", t.z});
  std::string found = left_behind(cca_dec_op, &t, dec_secrets);
  CHECK(found.empty(), "kk=%d decapsulation leaves on the stack: %s", p.kk, found.c_str());
  found = left_behind(kem_dec_op, &t, dec_secrets);
  CHECK(found.empty(), "kk=%d kem_dec leaves on the stack: %s", p.kk, found.c_str());
  found = left_behind(kpke_dec_op, &t,
                      {{"message digest", e.m}, {"message polynomial", as_bytes(&e.mp, 1)},
                       {"secret key", t.sk}, {"decoded secret key", decoded_key(t.sk)}});
  CHECK(found.empty(), "kk=%d decryption leaves on the stack: %s", p.kk, found.c_str());
}

// A forged ciphertext: what it decrypts to, and all that follows from
// that, is secret, its re-encryption (in bytes and as text) included.
void stack_forged(StackCase& t) {
  const Params& p = t.p;
  t.ct2 = t.ct;
  t.ct2[5] ^= 0x40;
  uint8_t forged_m[32];
  kpke_dec(p, t.ct2.data(), t.sk.data(), forged_m);
  Bytes g_in(forged_m, forged_m + 32), split(64), again(t.ct.size()), accept(32), rejection(32);
  g_in.insert(g_in.end(), t.h.begin(), t.h.end());
  sha3_512(g_in.data(), 64, split.data());
  kpke_enc(p, t.pk.data(), forged_m, split.data() + 32, 32, again.data());
  Bytes pre(split.begin(), split.begin() + 32), hc(32);
  sha3_256(t.ct2.data(), t.ct2.size(), hc.data());
  pre.insert(pre.end(), hc.begin(), hc.end());
  shake256(pre.data(), 64, accept.data(), 32);
  std::memcpy(pre.data(), t.z.data(), 32);
  shake256(pre.data(), 64, rejection.data(), 32);
  forged_dec_op(&t);
  CHECK(t.reject == rejection && again != t.ct2, "stack test: the forged ciphertext passed");
  const std::string again_text = tohex(again.data(), again.size());
  std::vector<int16_t> coeffs(size_t(kN) * (p.kk + 1));
  for (int i = 0; i <= p.kk; ++i)
    byte_decode(coeffs.data() + kN * i, again.data() + 32 * p.du * i, i < p.kk ? p.du : p.dv);
  Poly forged_mp;
  poly_frommsg(forged_mp, forged_m);
  const std::string found = left_behind(
      forged_dec_op, &t,
      {{"forged message", Bytes(forged_m, forged_m + 32)},
       {"its polynomial", as_bytes(&forged_mp, 1)},
       {"its pre-key and coins", split},
       {"its re-encryption", again},
       {"its re-encryption's text", Bytes(again_text.begin(), again_text.end())},
       {"its re-encryption's coefficients", as_bytes(coeffs.data(), coeffs.size())},
       {"its key", accept},
       {"rejection key", rejection},
       {"z", t.z},
       {"secret key", t.sk},
       {"decoded secret key", decoded_key(t.sk)}});
  CHECK(found.empty(), "kk=%d decapsulation of a forged ciphertext leaves on the stack: %s",
        p.kk, found.c_str());
}

// Other lengths: encapsulation to a longer key, rejection of a longer
// ciphertext.
void stack_other_lengths(StackCase& t) {
  const Params& p = t.p;
  t.longer = t.pk;
  t.longer.push_back(0x5a);
  kem_enc_other_op(&t);
  Bytes other_g_in(t.m.begin(), t.m.begin() + 32), other_split(64);
  other_g_in.resize(64);
  sha3_256(t.longer.data(), t.longer.size(), other_g_in.data() + 32);
  sha3_512(other_g_in.data(), 64, other_split.data());
  const Bytes other_coins(other_split.begin() + 32, other_split.end());
  std::string found = left_behind(
      kem_enc_other_op, &t,
      {{"message", t.msg}, {"message digest", Bytes(t.m.begin(), t.m.begin() + 32)},
       {"pre-key and coins", other_split}, {"noise", enc_noise(p, other_coins)},
       {"shared key", t.key}});
  CHECK(found.empty(), "kk=%d encapsulation to a longer key leaves on the stack: %s", p.kk,
        found.c_str());
  kem_reject_op(&t);
  found = left_behind(kem_reject_op, &t, {{"z", t.z}, {"rejection key", t.reject}});
  CHECK(found.empty(), "kk=%d rejection of a longer ciphertext leaves on the stack: %s", p.kk,
        found.c_str());
}

// The one-shot hashes leave nothing of their input or their digest.
void stack_hashes(Rng& rng) {
  struct {
    const char* name;
    void (*op)(void*);
    size_t out;
  } const hashes[] = {{"sha3_256", sha3_256_op, 32}, {"sha3_512", sha3_512_op, 64},
                      {"shake128", shake128_op, 64}, {"shake256", shake256_op, 64}};
  StackCase t;
  t.msg = rng.bytes(32);
  t.pre.resize(64);
  for (const auto& h : hashes) {
    h.op(&t);
    const std::string found = left_behind(
        h.op, &t, {{"input", t.msg}, {"digest", Bytes(t.pre.begin(), t.pre.begin() + h.out)}});
    CHECK(found.empty(), "%s leaves on the stack: %s", h.name, found.c_str());
  }
}

}  // namespace
#endif

void test_stack_wiped() {
#if defined(SELFTEST_ASAN)
  std::printf("stack test skipped under AddressSanitizer\n");
#else
  Rng rng(8);
  for (const Params& p : {Params{2, 3, 2, 10, 4}, Params{4, 2, 2, 11, 5}}) {
    StackCase t;
    t.p = p;
    t.seed = rng.bytes(32), t.msg = rng.bytes(32), t.z = rng.bytes(32);
    t.pk.resize(pk_bytes(p)), t.sk.resize(sk_bytes(p)), t.ct.resize(ct_bytes(p)), t.ct2 = t.ct;
    t.h.resize(32), t.m.resize(64), t.split.resize(64), t.pre.resize(64), t.key.resize(32);
    t.reject.resize(32);

    CHECK(left_behind(leaky_op, &t, {{"message", t.msg}}) == "message" &&
              left_behind(leaky_lanes_op, &t, {{"message", t.msg}}) == "message",
          "stack test: a secret left on purpose is not seen");
    stack_keygen(t);
    const EncSecrets e = stack_enc(t, rng);
    stack_dec(t, e);
    stack_forged(t);
    stack_other_lengths(t);
  }
  stack_hashes(rng);
#endif
}

}  // namespace selftest
