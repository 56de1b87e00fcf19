// Self-test for the native core, run by ctest (tests/native/CMakeLists.txt).
// By hand, from the repository root:
//   selftest [--core=portable|avx2] [tests/native/vectors.txt]
//   selftest --expect-core=portable|avx2
// --core runs the checks on that core alone (default: on each core the
// processor offers, then compares them); --expect-core only reports whether
// the process started on that core (LATKEM_PORTABLE).  Exit status 0 when
// every check passes, 77 when the processor lacks the core asked for.  The
// core's timings are bench/core_cycles.cpp's.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <utility>
#include <sstream>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

#include "check.h"
#if defined(LATKEM_HAVE_AVX2)
#include "../../latkem_alg/native/avx2/avx2.h"
#endif

using namespace selftest;

namespace {

std::string g_only;  // the cores the checks run on (--core=NAME), else all

// True if the backend is the one --core named or one of its variants
// ("neon" also takes "neon-sha3").
bool selected(const std::string& name) {
  return g_only.empty() || name == g_only || name.rfind(g_only + "-", 0) == 0;
}

// True if this processor runs a backend that --core selects.
bool any_selected() {
  for (size_t b = 0; available_backend(b) != nullptr; ++b)
    if (selected(available_backend(b))) return true;
  return false;
}

Bytes rho_of(const Bytes& pk) { return Bytes(pk.end() - 32, pk.end()); }

// ---------------------------------------------------------------------------
// No secret left on the stack: a region below the caller's frame is painted,
// an operation runs in it, and the region is read back and searched for
// pieces and words of the operation's secrets.  Meaningless under
// AddressSanitizer (locals may live on its fake stack), hence skipped there.

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

// Encapsulation as the module composes it around the core.
void cca_enc_op(void* c) {
  StackCase& t = *static_cast<StackCase*>(c);
  sha3_256(t.msg.data(), 32, t.m.data());
  std::memcpy(t.m.data() + 32, t.h.data(), 32);
  sha3_512(t.m.data(), 64, t.split.data());
  kpke_enc(t.p, t.pk.data(), t.m.data(), t.split.data() + 32, 32, t.ct.data());
  std::memcpy(t.pre.data(), t.split.data(), 32);
  sha3_256(t.ct.data(), t.ct.size(), t.pre.data() + 32);
  shake256(t.pre.data(), 64, t.key.data(), 32);
}

// Decapsulation likewise, with the rejection key.
void cca_dec_op(void* c) {
  StackCase& t = *static_cast<StackCase*>(c);
  kpke_dec(t.p, t.ct.data(), t.sk.data(), t.out);
  std::memcpy(t.m.data(), t.out, 32);
  std::memcpy(t.m.data() + 32, t.h.data(), 32);
  sha3_512(t.m.data(), 64, t.split.data());
  kpke_enc(t.p, t.pk.data(), t.m.data(), t.split.data() + 32, 32, t.ct2.data());
  std::memcpy(t.pre.data(), t.split.data(), 32);
  sha3_256(t.ct.data(), t.ct.size(), t.pre.data() + 32);
  shake256(t.pre.data(), 64, t.key.data(), 32);
  std::memcpy(t.pre.data(), t.z.data(), 32);
  shake256(t.pre.data(), 64, t.reject.data(), 32);
}

// The same two with the fused entry points.
void kem_enc_op(void* c) {
  StackCase& t = *static_cast<StackCase*>(c);
  kem_enc(t.p, t.pk.data(), t.msg.data(), t.msg.size(), t.ct.data(), t.key.data());
}

void kem_dec_op(void* c) {
  StackCase& t = *static_cast<StackCase*>(c);
  const std::string text = tohex(t.ct.data(), t.ct.size());
  uint8_t same;
  kem_dec(t.p, t.ct.data(), text.data(), t.sk.data(), t.pk.data(), t.h.data(), t.z.data(),
          t.key.data(), same);
}

// Decryption alone, as Dec runs it.
void kpke_dec_op(void* c) {
  StackCase& t = *static_cast<StackCase*>(c);
  kpke_dec(t.p, t.ct.data(), t.sk.data(), t.out);
}

// Decapsulation of the forged ciphertext in ct2: its re-encryption differs.
void forged_dec_op(void* c) {
  StackCase& t = *static_cast<StackCase*>(c);
  const std::string text = tohex(t.ct2.data(), t.ct2.size());
  uint8_t same;
  kem_dec(t.p, t.ct2.data(), text.data(), t.sk.data(), t.pk.data(), t.h.data(), t.z.data(),
          t.reject.data(), same);
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

    cca_keygen_op(&t);  // the keys, for the secrets
    Bytes rho_sigma(64), sigma;
    sha3_512(t.seed.data(), 32, rho_sigma.data());
    sigma.assign(rho_sigma.begin() + 32, rho_sigma.end());
    std::string found = left_behind(cca_keygen_op, &t,
                                    {{"seed", t.seed},
                                     {"sigma", sigma},
                                     {"noise", noise_polys(sigma, 0, 2 * p.kk, p.eta1)},
                                     {"secret key", t.sk},
                                     {"decoded secret key", decoded_key(t.sk)}});
    CHECK(found.empty(), "kk=%d key generation leaves on the stack: %s", p.kk, found.c_str());

    cca_enc_op(&t);  // the message digest and the coins, for the secrets
    const Bytes m(t.m.begin(), t.m.begin() + 32), kbar(t.split.begin(), t.split.begin() + 32),
        coins(t.split.begin() + 32, t.split.end()), key = t.key;
    const Bytes noise = enc_noise(p, coins);
    Poly mp;
    poly_frommsg(mp, m.data());
    const std::vector<Secret> enc_secrets = {{"message", t.msg}, {"message digest", m},
                                             {"shared key", key},  {"pre-key", kbar},
                                             {"coins", coins},     {"noise", noise},
                                             {"message polynomial", as_bytes(&mp, 1)}};
    found = left_behind(cca_enc_op, &t, enc_secrets);
    CHECK(found.empty(), "kk=%d encapsulation leaves on the stack: %s", p.kk, found.c_str());
    found = left_behind(kem_enc_op, &t, enc_secrets);
    CHECK(found.empty(), "kk=%d kem_enc leaves on the stack: %s", p.kk, found.c_str());
    t.coins = rng.bytes(200);
    found = left_behind(long_coins_op, &t,
                        {{"message", t.msg}, {"coins", t.coins}, {"noise", enc_noise(p, t.coins)}});
    CHECK(found.empty(), "kk=%d encryption with long coins leaves on the stack: %s", p.kk,
          found.c_str());

    std::vector<Secret> dec_secrets = enc_secrets;
    dec_secrets.push_back({"secret key", t.sk});
    dec_secrets.push_back({"decoded secret key", decoded_key(t.sk)});
    cca_dec_op(&t);
    CHECK(t.key == key && t.ct2 == t.ct, "stack test: decapsulation gave another key");
    dec_secrets.push_back({"rejection key", t.reject});
    dec_secrets.push_back({"z", t.z});
    found = left_behind(cca_dec_op, &t, dec_secrets);
    CHECK(found.empty(), "kk=%d decapsulation leaves on the stack: %s", p.kk, found.c_str());
    found = left_behind(kem_dec_op, &t, dec_secrets);
    CHECK(found.empty(), "kk=%d kem_dec leaves on the stack: %s", p.kk, found.c_str());
    found = left_behind(kpke_dec_op, &t,
                        {{"message digest", m}, {"message polynomial", as_bytes(&mp, 1)},
                         {"secret key", t.sk}, {"decoded secret key", decoded_key(t.sk)}});
    CHECK(found.empty(), "kk=%d decryption leaves on the stack: %s", p.kk, found.c_str());

    // A forged ciphertext: what it decrypts to, and all that follows from
    // that, is secret, its re-encryption (in bytes and as text) included.
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
    found = left_behind(forged_dec_op, &t,
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

    t.longer = t.pk;
    t.longer.push_back(0x5a);
    kem_enc_other_op(&t);
    Bytes other_g_in(t.m.begin(), t.m.begin() + 32), other_split(64);
    other_g_in.resize(64);
    sha3_256(t.longer.data(), t.longer.size(), other_g_in.data() + 32);
    sha3_512(other_g_in.data(), 64, other_split.data());
    const Bytes other_coins(other_split.begin() + 32, other_split.end());
    found = left_behind(kem_enc_other_op, &t,
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
#endif
}

// ---------------------------------------------------------------------------
// The backends: switching, and bit-for-bit agreement on random input.

// Runs f on every backend this processor runs, naming it in failure messages.
template <class F>
void on_each_path(F f) {
  for (size_t b = 0; available_backend(b) != nullptr; ++b) {
    if (!selected(available_backend(b))) continue;
    select_backend(available_backend(b));
    g_path = available_backend(b);
    f();
  }
  set_portable(false);
  g_path = "";
}

// True if this processor runs a backend besides the portable one.
bool has_vector_backend() { return std::strcmp(available_backend(0), "portable") != 0; }

// f() evaluated on the portable backend and on the default one.
template <class F>
auto portable_then_default(F f) -> std::pair<decltype(f()), decltype(f())> {
  set_portable(true);
  auto a = f();
  set_portable(false);
  auto b = f();
  return {a, b};
}

#define SAME(f, ...)                                         \
  do {                                                       \
    const auto r_ = portable_then_default(f);                   \
    CHECK(r_.first == r_.second, __VA_ARGS__);               \
  } while (0)

using Coeffs = std::vector<int16_t>;

Coeffs coeffs(const int16_t* c) { return Coeffs(c, c + kN); }

Poly random_poly(Rng& rng, int lo, int hi) {
  Poly p;
  for (auto& c : p.c) c = int16_t(lo + rng.below(hi - lo + 1));
  return p;
}

void set_env(const char* name, const char* value) {
#if defined(_WIN32)
  _putenv_s(name, value);
#else
  setenv(name, value, 1);
#endif
}

void test_switch() {
  const std::string fastest = available_backend(0);
  size_t n = 0;
  while (available_backend(n) != nullptr) ++n;
  CHECK(std::string(available_backend(n - 1)) == "portable", "portable backend not listed last");
  CHECK(backend_available("portable") && !backend_available("none"), "backend_available");
  CHECK(avx2_available() == backend_available("avx2"), "avx2_available");
  CHECK(!select_backend("none") && backend_name() == fastest, "unknown backend selected");
  for (size_t b = 0; b < n; ++b) {
    CHECK(select_backend(available_backend(b)) && backend_name() == std::string(available_backend(b)),
          "selecting %s", available_backend(b));
    CHECK(using_avx2() == (std::string(backend_name()) == "avx2"), "using_avx2 on %s", backend_name());
  }
  set_portable(true);
  CHECK(std::string(backend_name()) == "portable", "set_portable(true) leaves %s on", backend_name());
  set_portable(false);
  CHECK(backend_name() == fastest, "set_portable(false) does not restore the default");
  // The environment variable, as read at the first use of the core.
  set_env("LATKEM_PORTABLE", "1");
  select_default_backend();
  CHECK(std::string(backend_name()) == "portable", "LATKEM_PORTABLE=1 not honoured");
  set_env("LATKEM_PORTABLE", "0");
  select_default_backend();
  CHECK(backend_name() == fastest, "LATKEM_PORTABLE=0 not honoured");
}

void test_paths_agree() {
  if (!has_vector_backend()) {
    std::printf("only the portable backend on this machine: backend comparison skipped\n");
    return;
  }
  set_portable(false);
  g_path = available_backend(0);
  Rng rng(8);

  // Keccak: the permutation, the sponges over lengths around the rates, and
  // the four-way sponge against four single ones.
  for (int trial = 0; trial < 20; ++trial) {
    std::vector<uint64_t> st(25);
    for (auto& w : st) w = rng.next();
    SAME([&] { auto t = st; keccak_f1600(t.data()); return t; }, "keccak_f1600");
  }
  for (size_t len = 0; len < 420; len += 1 + len / 8) {
    const Bytes in = rng.bytes(len);
    const size_t outlen = 1 + size_t(rng.below(500));
    SAME([&] { Bytes o(32); sha3_256(in.data(), len, o.data()); return o; }, "sha3_256 len %zu", len);
    SAME([&] { Bytes o(64); sha3_512(in.data(), len, o.data()); return o; }, "sha3_512 len %zu", len);
    SAME([&] { Bytes o(outlen); shake128(in.data(), len, o.data(), outlen); return o; }, "shake128 len %zu", len);
    SAME([&] { Bytes o(outlen); shake256(in.data(), len, o.data(), outlen); return o; }, "shake256 len %zu", len);
  }
#if defined(LATKEM_HAVE_AVX2)
  for (size_t plen = 0; avx2_available() && plen < 420; plen += 1 + plen / 6) {
    for (const unsigned rate : {136u, 168u}) {
      const size_t sl = 1 + size_t(rng.below(3));
      const Bytes prefix = rng.bytes(plen), suffix = rng.bytes(4 * sl);
      alignas(32) uint64_t st[100];
      avx2::keccakx4_absorb(st, rate, prefix.data(), plen, suffix.data(), sl, 0x1F);
      std::vector<Bytes> out(4, Bytes(3 * rate));
      uint8_t* outs[4] = {out[0].data(), out[1].data(), nullptr, out[3].data()};
      avx2::keccakx4_squeeze(st, rate, outs, 3);
      bool ok = true;
      for (int j = 0; j < 4; ++j) {
        if (j == 2) continue;
        Bytes in = prefix;
        in.insert(in.end(), suffix.begin() + long(sl * j), suffix.begin() + long(sl * (j + 1)));
        Bytes ref(3 * rate);
        if (rate == 168) shake128(in.data(), in.size(), ref.data(), ref.size());
        else shake256(in.data(), in.size(), ref.data(), ref.size());
        ok &= ref == out[j];
      }
      CHECK(ok, "four-way SHAKE, rate %u, prefix %zu, suffix %zu", rate, plen, sl);
    }
  }
#endif

  // Polynomial layer, inside each function's input contract.
  for (int trial = 0; trial < 40; ++trial) {
    const Poly a = random_poly(rng, -(Q - 1), Q - 1), w = random_poly(rng, -4 * Q + 1, 4 * Q - 1);
    const Poly any = random_poly(rng, -32768, 32767), any2 = random_poly(rng, -32768, 32767);
    SAME([&] { Poly p = a; poly_ntt(p); return coeffs(p.c); }, "poly_ntt");
    SAME([&] { Poly p = w; poly_invntt_tomont(p); return coeffs(p.c); }, "poly_invntt_tomont");
    SAME([&] { Poly p = a; poly_tomont(p); return coeffs(p.c); }, "poly_tomont");
    SAME([&] { Poly p = any; poly_reduce(p); return coeffs(p.c); }, "poly_reduce");
    SAME([&] { Poly p = any; poly_freeze(p); return coeffs(p.c); }, "poly_freeze");
    SAME([&] { Poly p; poly_add(p, any, any2); return coeffs(p.c); }, "poly_add");
    SAME([&] { Poly p; poly_sub(p, any, any2); return coeffs(p.c); }, "poly_sub");
    for (int kk = 0; kk <= 5; ++kk) {
      Poly x[5], y[5];
      for (int m = 0; m < 5; ++m) {
        x[m] = random_poly(rng, -(Q - 1), Q - 1);
        y[m] = random_poly(rng, -(Q - 1), Q - 1);
      }
      SAME([&] { Poly r; polyvec_basemul_acc_montgomery(r, x, y, kk); return coeffs(r.c); },
           "basemul_acc rank %d", kk);
    }
    Poly r0 = random_poly(rng, 0, Q - 1), r1 = random_poly(rng, 0, Q - 1);
    SAME([&] { Coeffs o(kN); ntt_reduced(r0.c, o.data()); return o; }, "ntt_reduced");
    SAME([&] { Coeffs o(kN); invntt_reduced(r0.c, o.data()); return o; }, "invntt_reduced");
    SAME([&] { Coeffs o(kN); basemul_reduced(r0.c, r1.c, o.data()); return o; }, "basemul_reduced");
  }

  // Samplers.
  for (int trial = 0; trial < 30; ++trial) {
    for (int eta = 1; eta <= 8; ++eta) {
      const Bytes buf = rng.bytes(64 * eta);
      SAME([&] { Poly p; cbd(p, buf.data(), eta); return coeffs(p.c); }, "cbd eta %d", eta);
      SAME([&] { Poly p; cbd_reduced(p, buf.data(), eta); return coeffs(p.c); }, "cbd_reduced eta %d", eta);
    }
    const Bytes seed = rng.bytes(size_t(rng.below(300)));
    const uint8_t nonce = uint8_t(rng.next());
    SAME([&] { Poly p; sample_noise(p, seed.data(), seed.size(), nonce, 3); return coeffs(p.c); }, "sample_noise");
    // Rejection on dense and on sparse acceptance, from any start count.
    Bytes buf = rng.bytes(3 * size_t(rng.below(260)));
    if (trial % 2)
      for (auto& b : buf) b |= 0xC0;
    const int ctr = rng.below(kN + 1);
    SAME([&] {
      Coeffs o(kN, -1);
      const int n = rej_uniform(o.data(), ctr, buf.data(), buf.size());
      o.push_back(int16_t(n));
      return o;
    }, "rej_uniform from %d over %zu bytes", ctr, buf.size());
  }
  // Matrix entries, including ones whose first three blocks fall short and
  // that need the later blocks.
  int long_entries = 0;
  for (int trial = 0; trial < 600; ++trial) {
    const Bytes rho = rng.bytes(32);
    const uint8_t i = uint8_t(rng.below(4)), j = uint8_t(rng.below(4));
    Bytes in = rho;
    in.push_back(j);
    in.push_back(i);
    uint8_t stream[504];
    shake128(in.data(), in.size(), stream, sizeof stream);
    int16_t tmp[kN];
    if (rej_uniform(tmp, 0, stream, sizeof stream) < kN) ++long_entries;
    else if (trial % 10 != 0) continue;
    SAME([&] {
      Poly p;
      const bool ok = sample_matrix_entry(p, rho.data(), i, j);
      Coeffs o = coeffs(p.c);
      o.push_back(ok);
      return o;
    }, "matrix entry");
  }
  CHECK(long_entries > 0, "no matrix entry needed more than three blocks (test setup)");

  // Packing, compression, messages.
  for (int trial = 0; trial < 20; ++trial) {
    for (int d = 1; d <= 12; ++d) {
      const Poly a = random_poly(rng, -32768, 32767);  // taken modulo 2^d
      const Bytes enc = rng.bytes(size_t(32) * d);
      SAME([&] { Bytes o(size_t(32) * d); byte_encode(o.data(), a.c, d); return o; }, "byte_encode d %d", d);
      SAME([&] { Coeffs o(kN); byte_decode(o.data(), enc.data(), d); return o; }, "byte_decode d %d", d);
    }
  }
  for (int d = 1; d <= 11; ++d) {
    for (int start = 0; start < Q; start += kN) {
      Poly x, y;
      for (int i = 0; i < kN; ++i) {
        x.c[i] = int16_t((start + i) % Q);
        y.c[i] = int16_t((start + i) % (1 << d));
      }
      SAME([&] { Poly p = x; poly_compress(p, d); return coeffs(p.c); }, "poly_compress d %d", d);
      SAME([&] { Poly p = y; poly_decompress(p, d); return coeffs(p.c); }, "poly_decompress d %d", d);
    }
  }
  for (int trial = 0; trial < 20; ++trial) {
    const Bytes msg = rng.bytes(32);
    const Poly x = random_poly(rng, 0, Q - 1);
    SAME([&] { Poly p; poly_frommsg(p, msg.data()); return coeffs(p.c); }, "poly_frommsg");
    SAME([&] { Bytes m(32); poly_tomsg(m.data(), x); return m; }, "poly_tomsg");
  }

  // Hex and the constant-time helpers over lengths around the vector width.
  for (size_t len = 0; len < 200; ++len) {
    const Bytes in = rng.bytes(len);
    SAME([&] { std::string h(2 * len, ' '); hex_encode(&h[0], in.data(), len); return h; }, "hex_encode %zu", len);
    std::string h = tohex(in.data(), len);
    for (auto& c : h)
      if (rng.below(4) == 0) c = char(std::toupper(static_cast<unsigned char>(c)));
    if (len > 0 && len % 3 == 0) h[size_t(rng.below(int(2 * len)))] = char(rng.below(256));
    const size_t hl = h.size() - (len % 17 == 5 ? 1 : 0);  // sometimes odd
    SAME([&] {
      Bytes o(len + 1, 0xAA);
      const bool ok = hex_decode(o.data(), h.data(), hl);
      if (!ok) o.assign(1, 0);  // contents not meaningful on failure
      o.push_back(ok);
      return o;
    }, "hex_decode %zu", len);
    Bytes b = in;
    if (len > 0 && rng.below(2)) b[size_t(rng.below(int(len)))] ^= uint8_t(1 << rng.below(8));
    SAME([&] { return ct_equal(in.data(), b.data(), len); }, "ct_equal %zu", len);
    const uint8_t take = uint8_t(rng.below(2));
    SAME([&] { Bytes o(len); ct_select(o.data(), in.data(), b.data(), len, take); return o; }, "ct_select %zu", len);
  }

  // The encryption scheme, every parameter set, seeds and coins of any
  // length (long ones are absorbed over several blocks), and decryption of
  // random ciphertexts under random keys as well.
  for (const Params& p : every_params()) {
    // Coins of 134 bytes still fit one block with the nonce and the
    // padding; from 135 on they take the multi-block absorb.
    const size_t edges[] = {0, 1, 134, 135, 136, 137, 271, 272};
    for (int trial = 0; trial < 5; ++trial) {
      const size_t seedlen = trial == 0 ? 32 : size_t(rng.below(300));
      const size_t coinslen = trial == 0 ? 32 : trial == 1 ? edges[rng.below(8)] : size_t(rng.below(300));
      const Bytes seed = rng.bytes(seedlen), msg = rng.bytes(32), coins = rng.bytes(coinslen);
      const auto kg = portable_then_default([&] {
        Bytes pk(pk_bytes(p)), sk(sk_bytes(p));
        const bool ok = kpke_keygen(p, seed.data(), seedlen, pk.data(), sk.data());
        return std::make_pair(ok, cat(pk, sk));
      });
      CHECK(kg.first == kg.second, "keygen kk=%d eta1=%d seed %zu bytes", p.kk, p.eta1, seedlen);
      const Bytes pk(kg.first.second.begin(), kg.first.second.begin() + long(pk_bytes(p)));
      const Bytes sk(kg.first.second.begin() + long(pk_bytes(p)), kg.first.second.end());
      const auto en = portable_then_default([&] {
        Bytes ct(ct_bytes(p));
        const bool ok = kpke_enc(p, pk.data(), msg.data(), coins.data(), coinslen, ct.data());
        return std::make_pair(ok, ct);
      });
      CHECK(en.first == en.second, "enc %d/%d/%d/%d/%d coins %zu bytes", p.kk, p.eta1, p.eta2, p.du,
            p.dv, coinslen);
      const Bytes ct = en.first.second;
      const Bytes junk_ct = rng.bytes(ct.size()), junk_sk = rng.bytes(sk.size());
      const Bytes junk_pk = cat(rng.bytes(pk.size() - 32), rho_of(pk));
      SAME([&] { Bytes m(32); kpke_dec(p, ct.data(), sk.data(), m.data()); return m; }, "dec");
      SAME([&] { Bytes m(32); kpke_dec(p, junk_ct.data(), junk_sk.data(), m.data()); return m; }, "dec junk");
      SAME([&] {
        Bytes c(ct_bytes(p));
        const bool ok = kpke_enc(p, junk_pk.data(), msg.data(), coins.data(), coinslen, c.data());
        c.push_back(ok);
        return c;
      }, "enc under an unreduced public key");
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  const char* path = "tests/native/vectors.txt";
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a.rfind("--expect-core=", 0) == 0) {
      // The first use of the core in this process: LATKEM_PORTABLE decides.
      const std::string core = backend_name();
      const bool ok = core == a.substr(14);
      std::printf("started on the %s core%s\n", core.c_str(), ok ? "" : ": FAIL");
      return ok ? 0 : 1;
    } else if (a.rfind("--core=", 0) == 0) {
      g_only = a.substr(7);
      if (!any_selected()) {
        std::printf("no %s core on this machine: skipped\n", g_only.c_str());
        return 77;
      }
    } else if (a.rfind("--", 0) == 0) {
      std::printf("unknown option %s\n", a.c_str());
      return 2;
    } else {
      path = argv[i];
    }
  }
  std::ifstream in(path);
  if (!in) {
    std::printf("cannot open %s (run from the repository root)\n", path);
    return 2;
  }
  std::vector<std::vector<std::string>> lines;
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream ss(line);
    std::vector<std::string> f;
    std::string w;
    while (ss >> w) f.push_back(w);
    if (!f.empty()) lines.push_back(f);
  }

  on_each_path([&] {
    test_hashes(lines);
    test_reductions();
    test_ntt();
    test_cbd();
    test_uniform();
    test_packing();
    test_compress();
    test_bytes();
    test_vectors(lines);
    test_roundtrip();
    test_kem();
    test_stack_wiped();
  });
  test_switch();
  if (g_only != "portable") test_paths_agree();
  std::printf("%d checks, %d failures\n", g_checks, g_failures);
  return g_failures == 0 ? 0 : 1;
}
