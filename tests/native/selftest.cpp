// Self-test for the native core, run by ctest (tests/native/CMakeLists.txt).
// By hand, from the repository root:
//   selftest [--core=portable|avx2] [--timings] [tests/native/vectors.txt]
//   selftest --expect-core=portable|avx2
// --core runs the checks on that core alone (default: on each core the
// processor offers, then compares them); --expect-core only reports whether
// the process started on that core (LATKEM_PORTABLE).  Exit status 0 when
// every check passes, 77 when the processor lacks the core asked for.
#include <algorithm>
#include <cctype>
#include <chrono>
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

#include "../../latkem_alg/native/backend.h"
#include "../../latkem_alg/native/core.h"
#if defined(LATKEM_HAVE_AVX2)
#include "../../latkem_alg/native/avx2/avx2.h"
#endif

#if defined(__x86_64__) || defined(__i386__)
#include <x86intrin.h>
#define SELFTEST_TSC 1
#else
#define SELFTEST_TSC 0
#endif

using namespace latkem::native;
using Bytes = std::vector<uint8_t>;

namespace {

int g_failures = 0;
int g_checks = 0;
const char* g_path = "";  // code path the running test is on
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

#define CHECK(cond, ...)                                   \
  do {                                                     \
    ++g_checks;                                            \
    if (!(cond)) {                                         \
      ++g_failures;                                        \
      std::printf("FAIL [%s] %s:%d: ", g_path, __FILE__, __LINE__); \
      std::printf(__VA_ARGS__);                            \
      std::printf("\n");                                   \
    }                                                      \
  } while (0)

constexpr int Q = 3329;

// Deterministic generator for test inputs.
struct Rng {
  uint64_t s;
  explicit Rng(uint64_t seed) : s(seed) {}
  uint64_t next() {
    s += 0x9E3779B97F4A7C15ULL;
    uint64_t z = s;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
  }
  int below(int n) { return int(next() % uint64_t(n)); }
  Bytes bytes(size_t n) {
    Bytes b(n);
    for (auto& x : b) x = uint8_t(next());
    return b;
  }
};

Bytes unhex(const std::string& s) {
  Bytes out;
  if (s == "-") return out;
  for (size_t i = 0; i + 1 < s.size(); i += 2) out.push_back(uint8_t(std::stoi(s.substr(i, 2), nullptr, 16)));
  return out;
}

std::string tohex(const uint8_t* p, size_t n) {
  static const char* d = "0123456789abcdef";
  std::string s;
  for (size_t i = 0; i < n; ++i) {
    s += d[p[i] >> 4];
    s += d[p[i] & 15];
  }
  return s;
}

int mod(long long a) { return int(((a % Q) + Q) % Q); }

int modpow(int b, int e) {
  long long r = 1, x = mod(b);
  while (e) {
    if (e & 1) r = r * x % Q;
    x = x * x % Q;
    e >>= 1;
  }
  return int(r);
}

int brv7(int k) {
  int r = 0;
  for (int i = 0; i < 7; ++i) r |= ((k >> i) & 1) << (6 - i);
  return r;
}

// ---------------------------------------------------------------------------
// Keccak.

void test_hashes(const std::vector<std::vector<std::string>>& lines) {
  int n = 0;
  for (const auto& f : lines) {
    if (f[0] != "hash") continue;
    const Bytes in = unhex(f[2]);
    const size_t outlen = std::stoul(f[3]);
    Bytes out(outlen);
    if (f[1] == "sha3_256") sha3_256(in.data(), in.size(), out.data());
    else if (f[1] == "sha3_512") sha3_512(in.data(), in.size(), out.data());
    else if (f[1] == "shake128") shake128(in.data(), in.size(), out.data(), outlen);
    else shake256(in.data(), in.size(), out.data(), outlen);
    CHECK(tohex(out.data(), outlen) == f[4], "%s of %zu bytes", f[1].c_str(), in.size());
    ++n;
  }
  CHECK(n == 86, "expected 86 hash vectors, found %d", n);

  // Feeding and draining in uneven pieces must not change the stream.
  Rng rng(1);
  const Bytes msg = rng.bytes(700);
  Bytes ref(900);
  shake128(msg.data(), msg.size(), ref.data(), ref.size());
  for (int trial = 0; trial < 50; ++trial) {
    Shake128 x;
    size_t pos = 0;
    while (pos < msg.size()) {
      size_t step = size_t(rng.below(200));
      if (step > msg.size() - pos) step = msg.size() - pos;
      x.absorb(msg.data() + pos, step);
      pos += step;
    }
    Bytes out(ref.size());
    pos = 0;
    while (pos < out.size()) {
      size_t step = size_t(rng.below(400));
      if (step > out.size() - pos) step = out.size() - pos;
      x.squeeze(out.data() + pos, step);
      pos += step;
    }
    CHECK(out == ref, "chunked SHAKE-128 differs, trial %d", trial);
  }
  // A rate that is no multiple of the word size: fed whole or in pieces,
  // the same stream.
  {
    Sponge whole(100, 0x1F), pieces(100, 0x1F);
    whole.absorb(msg.data(), msg.size());
    for (size_t pos = 0; pos < msg.size(); pos += 13) pieces.absorb(msg.data() + pos, std::min<size_t>(13, msg.size() - pos));
    Bytes a(333), b(333);
    whole.squeeze(a.data(), a.size());
    for (size_t pos = 0; pos < b.size(); pos += 37) pieces.squeeze(b.data() + pos, std::min<size_t>(37, b.size() - pos));
    CHECK(a == b, "sponge with rate 100 depends on how it is fed");
  }
  Shake128 blocks;
  blocks.absorb(msg.data(), msg.size());
  Bytes b(5 * 168);
  blocks.squeeze_blocks(b.data(), 2);
  blocks.squeeze_blocks(b.data() + 336, 3);
  CHECK(std::memcmp(b.data(), ref.data(), b.size()) == 0, "squeeze_blocks differs");
}

// ---------------------------------------------------------------------------
// Arithmetic and NTT.

void test_reductions() {
  bool ok = true;
  for (int a = -32768; a <= 32767 && ok; ++a) {
    const int b = barrett_reduce(int16_t(a)), f = freeze(int16_t(a));
    ok = mod(b - a) == 0 && b >= -(Q - 1) / 2 && b <= (Q - 1) / 2 && f == mod(a);
    if (!ok) std::printf("  a = %d: barrett %d freeze %d\n", a, b, f);
  }
  CHECK(ok, "barrett/freeze over all int16");

  ok = true;
  const long long lim = (long long)Q << 15;
  const long long rinv = modpow(65536 % Q, Q - 2);
  for (long long a = -lim + 1; a < lim && ok; a += 3) {
    const int r = montgomery_reduce(int32_t(a));
    ok = r > -Q && r < Q && mod(r - (mod(a) * rinv)) == 0;
    if (!ok) std::printf("  a = %lld: montgomery %d\n", a, r);
  }
  CHECK(ok, "montgomery_reduce over |a| < q*2^15");
}

void ntt_naive(const int* f, int* out) {
  for (int i = 0; i < 128; ++i) {
    const int g = modpow(17, 2 * brv7(i) + 1);
    long long e = 0, o = 0, gp = 1;
    for (int j = 0; j < 128; ++j) {
      e = (e + f[2 * j] * gp) % Q;
      o = (o + f[2 * j + 1] * gp) % Q;
      gp = gp * g % Q;
    }
    out[2 * i] = int(e);
    out[2 * i + 1] = int(o);
  }
}

void basemul_naive(const int* a, const int* b, int* c) {
  for (int i = 0; i < 128; ++i) {
    const long long g = modpow(17, 2 * brv7(i) + 1);
    const long long a0 = a[2 * i], a1 = a[2 * i + 1], b0 = b[2 * i], b1 = b[2 * i + 1];
    c[2 * i] = mod(a0 * b0 + a1 * b1 % Q * g);
    c[2 * i + 1] = mod(a0 * b1 + a1 * b0);
  }
}

void test_ntt() {
  Rng rng(2);
  for (int trial = 0; trial < 20; ++trial) {
    int16_t a[kN], b[kN], ah[kN], bh[kN], ch[kN], c[kN], back[kN];
    int ai[kN], bi[kN], ref[kN], refc[kN];
    for (int i = 0; i < kN; ++i) {
      // Include the extremes of the range.
      a[i] = int16_t(trial == 0 ? Q - 1 : rng.below(Q));
      b[i] = int16_t(trial == 0 ? Q - 1 : rng.below(Q));
      ai[i] = a[i];
      bi[i] = b[i];
    }
    ntt_reduced(a, ah);
    ntt_naive(ai, ref);
    bool ok = true;
    for (int i = 0; i < kN; ++i) ok &= ah[i] == ref[i];
    CHECK(ok, "NTT differs from its definition, trial %d", trial);

    invntt_reduced(ah, back);
    CHECK(std::memcmp(a, back, sizeof a) == 0, "inverse NTT does not undo NTT, trial %d", trial);

    ntt_reduced(b, bh);
    basemul_reduced(ah, bh, ch);
    int bhi[kN], ahi[kN];
    for (int i = 0; i < kN; ++i) {
      ahi[i] = ah[i];
      bhi[i] = bh[i];
    }
    basemul_naive(ahi, bhi, ref);
    ok = true;
    for (int i = 0; i < kN; ++i) ok &= ch[i] == ref[i];
    CHECK(ok, "base multiplication differs, trial %d", trial);

    // NTT^-1(NTT(a) o NTT(b)) is the product mod X^256 + 1.
    invntt_reduced(ch, c);
    for (int i = 0; i < kN; ++i) refc[i] = 0;
    for (int i = 0; i < kN; ++i)
      for (int j = 0; j < kN; ++j) {
        const int k = (i + j) % kN;
        const long long p = (long long)ai[i] * bi[j] % Q;
        refc[k] = mod(refc[k] + (i + j < kN ? p : -p));
      }
    ok = true;
    for (int i = 0; i < kN; ++i) ok &= c[i] == refc[i];
    CHECK(ok, "ring product differs from schoolbook, trial %d", trial);
  }

  // Accumulated base multiplication at rank 4 with the largest allowed
  // magnitudes, signed and unsigned, against the naive sum.
  const int16_t extremes[4] = {Q - 1, -(Q - 1), (Q - 1) / 2, -(Q - 1) / 2};
  for (int trial = 0; trial < 6; ++trial) {
    Poly a[4], b[4], r;
    for (int m = 0; m < 4; ++m)
      for (int i = 0; i < kN; ++i) {
        a[m].c[i] = trial < 2 ? extremes[trial] : extremes[rng.below(4)];
        b[m].c[i] = trial < 2 ? extremes[trial] : int16_t(rng.below(2 * Q - 1) - (Q - 1));
      }
    polyvec_basemul_acc_montgomery(r, a, b, 4);
    int sum[kN] = {0};
    for (int m = 0; m < 4; ++m) {
      int x[kN], y[kN], z[kN];
      for (int i = 0; i < kN; ++i) {
        x[i] = mod(a[m].c[i]);
        y[i] = mod(b[m].c[i]);
      }
      basemul_naive(x, y, z);
      for (int i = 0; i < kN; ++i) sum[i] = mod(sum[i] + z[i]);
    }
    bool ok = true;
    for (int i = 0; i < kN; ++i) ok &= r.c[i] > -Q && r.c[i] < Q && mod((long long)r.c[i] * 65536 - sum[i]) == 0;
    CHECK(ok, "rank-4 accumulated base multiplication, trial %d", trial);
  }

  // Forward NTT on signed input, as used on noise polynomials.
  Poly p;
  int pi[kN], ref[kN];
  for (int i = 0; i < kN; ++i) {
    p.c[i] = int16_t(rng.below(2 * Q - 1) - (Q - 1));
    pi[i] = mod(p.c[i]);
  }
  poly_ntt(p);
  ntt_naive(pi, ref);
  bool ok = true;
  for (int i = 0; i < kN; ++i) ok &= mod(p.c[i]) == ref[i];
  CHECK(ok, "NTT of signed input");
}

// ---------------------------------------------------------------------------
// Sampling.

void test_cbd() {
  Rng rng(3);
  for (int eta = 1; eta <= 8; ++eta) {
    const Bytes buf = rng.bytes(64 * eta);
    Poly p, pr;
    CHECK(cbd(p, buf.data(), eta) && cbd_reduced(pr, buf.data(), eta), "cbd eta %d refused", eta);
    bool ok = true;
    for (int i = 0; i < kN; ++i) {
      int a = 0, b = 0;
      for (int m = 0; m < eta; ++m) {
        const int bit_a = 2 * i * eta + m, bit_b = 2 * i * eta + eta + m;
        a += (buf[bit_a / 8] >> (bit_a % 8)) & 1;
        b += (buf[bit_b / 8] >> (bit_b % 8)) & 1;
      }
      ok &= p.c[i] == a - b && pr.c[i] == mod(a - b);
    }
    CHECK(ok, "cbd eta %d", eta);
  }
  Poly p;
  uint8_t buf[64 * 9] = {0};
  CHECK(!cbd(p, buf, 0) && !cbd(p, buf, 9), "cbd accepts eta outside 1..8");

  // PRF input is seed || nonce.
  const Bytes seed = rng.bytes(45);
  Bytes in = seed;
  in.push_back(7);
  uint8_t stream[192];
  shake256(in.data(), in.size(), stream, sizeof stream);
  Poly a, b;
  sample_noise(a, seed.data(), seed.size(), 7, 3);
  cbd(b, stream, 3);
  CHECK(std::memcmp(a.c, b.c, sizeof a.c) == 0, "sample_noise is not CBD(SHAKE-256(seed || nonce))");
}

void test_uniform() {
  // Parse order, the two candidates per group, and the stop at 256.
  int16_t out[kN];
  // d1 = 0x201 kept, d2 = 3344 dropped; then 0xFFF twice; then q twice.
  const uint8_t grp[9] = {0x01, 0x02, 0xD1, 0xFF, 0xFF, 0xFF, 0x01, 0x1D, 0xD0};
  CHECK(rej_uniform(out, 0, grp, 9) == 1 && out[0] == 0x201, "rej_uniform candidates");
  const uint8_t both[3] = {0x00, 0x0D, 0x00};  // d1 = 3328 accepted, d2 = 0 accepted
  CHECK(rej_uniform(out, 0, both, 3) == 2 && out[0] == 3328 && out[1] == 0, "rej_uniform bounds");
  CHECK(rej_uniform(out, 255, both, 3) == 256 && out[255] == 3328, "rej_uniform overran 256");

  Rng rng(4);
  for (int trial = 0; trial < 8; ++trial) {
    const Bytes rho = rng.bytes(32);
    const uint8_t i = uint8_t(rng.below(4)), j = uint8_t(rng.below(4));
    Bytes in = rho;
    in.push_back(j);  // column index first
    in.push_back(i);
    uint8_t stream[768];
    shake128(in.data(), in.size(), stream, sizeof stream);
    int16_t ref[kN];
    const int n = rej_uniform(ref, 0, stream, sizeof stream);
    Poly p;
    CHECK(sample_matrix_entry(p, rho.data(), i, j) && n == kN &&
              std::memcmp(p.c, ref, sizeof ref) == 0,
          "matrix entry (%d,%d)", i, j);
  }
}

// ---------------------------------------------------------------------------
// Packing and compression.

void test_packing() {
  Rng rng(5);
  for (int d = 1; d <= 12; ++d) {
    int16_t a[kN], back[kN];
    for (int i = 0; i < kN; ++i) a[i] = int16_t(rng.below(1 << d));
    std::vector<uint8_t> enc(32 * d);
    byte_encode(enc.data(), a, d);
    bool ok = true;
    for (int i = 0; i < kN; ++i)
      for (int b = 0; b < d; ++b) {
        const int pos = i * d + b;
        ok &= ((enc[pos / 8] >> (pos % 8)) & 1) == ((a[i] >> b) & 1);
      }
    byte_decode(back, enc.data(), d);
    ok &= std::memcmp(a, back, sizeof a) == 0;
    CHECK(ok, "ByteEncode/ByteDecode d = %d", d);
  }
}

void test_compress() {
  bool ok = true;
  for (int d = 1; d <= 11 && ok; ++d) {
    for (int x = 0; x < Q && ok; ++x) {
      const int want = int((((long long)x << d) + 1664) / Q) % (1 << d);
      ok = compress(int16_t(x), d) == want;
      if (!ok) std::printf("  compress(%d, %d) = %d, want %d\n", x, d, compress(int16_t(x), d), want);
    }
    for (int y = 0; y < (1 << d) && ok; ++y) {
      // Exact rounding of q*y / 2^d with ties to even, in rationals.
      const long long t = (long long)Q * y, den = 1LL << d;
      long long k = t / den;
      const long long twice_r = 2 * (t - k * den);
      if (twice_r > den || (twice_r == den && (k & 1))) ++k;
      ok = decompress(int16_t(y), d) == k;
      if (!ok) std::printf("  decompress(%d, %d) = %d, want %lld\n", y, d, decompress(int16_t(y), d), k);
    }
  }
  CHECK(ok, "compress/decompress over their whole domains");
  CHECK(decompress(1, 1) == 1664 && decompress(8, 4) == 1664 && decompress(512, 10) == 1664 &&
            decompress(15, 4) == 3121 && decompress(1023, 10) == 3326 && decompress(1, 10) == 3,
        "decompress reference values");

  // Message bits: 1 exactly on [833, 2496].
  Poly p;
  for (int i = 0; i < kN; ++i) p.c[i] = int16_t(i < 128 ? 832 + i % 4 : 2494 + i % 4);
  uint8_t m[32];
  poly_tomsg(m, p);
  ok = true;
  for (int i = 0; i < kN; ++i) {
    const int want = (p.c[i] >= 833 && p.c[i] <= 2496) ? 1 : 0;
    ok &= ((m[i / 8] >> (i % 8)) & 1) == want;
  }
  CHECK(ok, "poly_tomsg thresholds");
  poly_frommsg(p, m);
  ok = true;
  for (int i = 0; i < kN; ++i) ok &= p.c[i] == 1665 * ((m[i / 8] >> (i % 8)) & 1);
  CHECK(ok, "poly_frommsg");
}

// ---------------------------------------------------------------------------
// Hex and constant-time helpers.

void test_bytes() {
  uint8_t all[256];
  for (int i = 0; i < 256; ++i) all[i] = uint8_t(i);
  std::string h(512, ' ');
  hex_encode(&h[0], all, 256);
  CHECK(h == tohex(all, 256), "hex_encode");
  uint8_t back[256];
  CHECK(hex_decode(back, h.data(), h.size()) && std::memcmp(all, back, 256) == 0, "hex_decode lower");
  std::string up = h;
  for (auto& c : up) c = char(std::toupper(static_cast<unsigned char>(c)));
  CHECK(hex_decode(back, up.data(), up.size()) && std::memcmp(all, back, 256) == 0, "hex_decode upper");
  CHECK(!hex_decode(back, "abc", 3), "odd length accepted");
  bool ok = true;
  for (int c = 0; c < 256; ++c) {
    const bool valid = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    char s[4] = {'0', '0', char(c), '7'};
    ok &= hex_decode(back, s, 4) == valid;
    s[0] = char(c);
    s[2] = 'e';
    ok &= hex_decode(back, s, 4) == valid;
  }
  CHECK(ok, "hex_decode character classes");

  uint8_t a[32], b[32], out[32];
  for (int i = 0; i < 32; ++i) a[i] = b[i] = uint8_t(3 * i);
  CHECK(ct_equal(a, b, 32) == 1, "ct_equal on equal input");
  ok = true;
  for (int i = 0; i < 32; ++i)
    for (int bit = 0; bit < 8; ++bit) {
      b[i] ^= uint8_t(1 << bit);
      ok &= ct_equal(a, b, 32) == 0;
      b[i] ^= uint8_t(1 << bit);
    }
  CHECK(ok, "ct_equal misses a single-bit difference");
  for (int i = 0; i < 32; ++i) b[i] = uint8_t(~a[i]);
  ct_select(out, a, b, 32, 1);
  CHECK(std::memcmp(out, a, 32) == 0, "ct_select take_a = 1");
  ct_select(out, a, b, 32, 0);
  CHECK(std::memcmp(out, b, 32) == 0, "ct_select take_a = 0");
}

// ---------------------------------------------------------------------------
// Public-key encryption.

const Params kP512 = {2, 3, 2, 10, 4};

Bytes sha3_256v(const Bytes& in) {
  Bytes o(32);
  sha3_256(in.data(), in.size(), o.data());
  return o;
}

Bytes cat(const Bytes& a, const Bytes& b) {
  Bytes r = a;
  r.insert(r.end(), b.begin(), b.end());
  return r;
}

Bytes rho_of(const Bytes& pk) { return Bytes(pk.end() - 32, pk.end()); }

void test_vectors(const std::vector<std::vector<std::string>>& lines) {
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
  for (int kk = 2; kk <= 4; ++kk)
    for (int eta1 = 2; eta1 <= 3; ++eta1)
      for (int eta2 = 2; eta2 <= 3; ++eta2)
        for (int du = 10; du <= 11; ++du)
          for (int dv = 4; dv <= 5; ++dv) {
            const Params p = {kk, eta1, eta2, du, dv};
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

// ---------------------------------------------------------------------------
// The key encapsulation entry points against the steps they fuse.

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
  select_backend(available_backend(0));
  g_path = "";
}

// True if this processor runs a backend besides the portable one.
bool has_vector_backend() { return std::strcmp(available_backend(0), "portable") != 0; }

// f() evaluated on the portable backend and on the default one.
template <class F>
auto portable_then_default(F f) -> std::pair<decltype(f()), decltype(f())> {
  select_backend("portable");
  auto a = f();
  select_backend(available_backend(0));
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
  CHECK(!select_backend("none") && backend_name() == fastest, "unknown backend selected");
  for (size_t b = 0; b < n; ++b) {
    CHECK(select_backend(available_backend(b)) && backend_name() == std::string(available_backend(b)),
          "selecting %s", available_backend(b));
  }
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
  select_backend(available_backend(0));
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
  for (size_t plen = 0; backend_available("avx2") && plen < 420; plen += 1 + plen / 6) {
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
  for (int kk = 2; kk <= 4; ++kk)
    for (int eta1 = 2; eta1 <= 3; ++eta1)
      for (int eta2 = 2; eta2 <= 3; ++eta2)
        for (int du = 10; du <= 11; ++du)
          for (int dv = 4; dv <= 5; ++dv) {
            const Params p = {kk, eta1, eta2, du, dv};
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
              CHECK(kg.first == kg.second, "keygen kk=%d eta1=%d seed %zu bytes", kk, eta1, seedlen);
              const Bytes pk(kg.first.second.begin(), kg.first.second.begin() + long(pk_bytes(p)));
              const Bytes sk(kg.first.second.begin() + long(pk_bytes(p)), kg.first.second.end());
              const auto en = portable_then_default([&] {
                Bytes ct(ct_bytes(p));
                const bool ok = kpke_enc(p, pk.data(), msg.data(), coins.data(), coinslen, ct.data());
                return std::make_pair(ok, ct);
              });
              CHECK(en.first == en.second, "enc %d/%d/%d/%d/%d coins %zu bytes", kk, eta1, eta2, du, dv, coinslen);
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

// ---------------------------------------------------------------------------

struct Cost {
  double cycles, ns;
};

// Best of several batches, per call: time-stamp counter cycles and ns.
template <class F>
Cost measure(int iters, F f) {
  Cost best = {1e300, 1e300};
  for (int batch = 0; batch < 7; ++batch) {
#if SELFTEST_TSC
    const uint64_t c0 = __rdtsc();
#endif
    const auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < iters; ++i) f(i);
    const auto t1 = std::chrono::steady_clock::now();
#if SELFTEST_TSC
    const double cyc = double(__rdtsc() - c0) / iters;
#else
    const double cyc = 0;
#endif
    const double ns = std::chrono::duration<double, std::nano>(t1 - t0).count() / iters;
    if (cyc < best.cycles) best.cycles = cyc;
    if (ns < best.ns) best.ns = ns;
  }
  return best;
}

template <class F>
void report(const char* name, int iters, F f) {
  select_backend("portable");
  const Cost a = measure(iters, f);
  std::printf("  %-34s %9.0f %9.0f", name, a.cycles, a.ns);
  if (has_vector_backend()) {
    select_backend(available_backend(0));
    const Cost b = measure(iters, f);
    std::printf("   %9.0f %9.0f   x%.1f", b.cycles, b.ns, a.cycles / b.cycles);
  }
  std::printf("\n");
  select_backend(available_backend(0));
}

void timings() {
  std::printf("timings: cycles (time-stamp counter) and ns per call, best of 7 batches\n");
  std::printf("  %-34s %9s %9s   %9s %9s\n", "", "portable", "ns", available_backend(0), "ns");
  Rng rng(7);
  Bytes seed = rng.bytes(32), msg = rng.bytes(32), coins = rng.bytes(32), big = rng.bytes(2048);
  const int n = 2000, m = 20000;
  uint64_t st[25] = {0};
  report("keccak-f[1600]", m, [&](int) { keccak_f1600(st); });
#if defined(LATKEM_HAVE_AVX2)
  if (backend_available("avx2")) {
    alignas(32) uint64_t st4[100] = {0};
    const Cost c = measure(m, [&](int) { avx2::keccakx4_f1600(st4); });
    std::printf("  %-34s %9s %9s   %9.0f %9.0f\n", "keccak-f[1600] four-way", "-", "-", c.cycles, c.ns);
  }
#endif
  uint8_t h[64];
  report("sha3-256, 800 bytes", n, [&](int) { sha3_256(big.data(), 800, h); });
  report("sha3-512, 64 bytes", m, [&](int) { sha3_512(big.data(), 64, h); });
  report("shake-256, 64 -> 32 bytes", m, [&](int) { shake256(big.data(), 64, h, 32); });
  Poly a = random_poly(rng, 0, Q - 1), b[4], r;
  for (auto& x : b) x = random_poly(rng, -(Q - 1), Q - 1);
  report("ntt", m, [&](int) { Poly t = a; poly_ntt(t); r.c[0] ^= t.c[1]; });
  report("inverse ntt", m, [&](int) { Poly t = a; poly_invntt_tomont(t); r.c[0] ^= t.c[1]; });
  report("base multiplication, rank 2", m, [&](int) { polyvec_basemul_acc_montgomery(r, b, b + 2, 2); });
  report("cbd eta 2", m, [&](int) { cbd(r, big.data(), 2); });
  report("cbd eta 3", m, [&](int) { cbd(r, big.data(), 3); });
  report("noise eta 3 (prf + cbd)", m, [&](int i) { sample_noise(r, seed.data(), 32, uint8_t(i), 3); });
  report("rejection sampling, 504 bytes", m, [&](int) { rej_uniform(r.c, 0, big.data(), 504); });
  report("matrix entry (xof + rejection)", m, [&](int i) { sample_matrix_entry(r, seed.data(), uint8_t(i), 0); });
  Bytes out(2048);
  report("byte encode 12", m, [&](int) { byte_encode(out.data(), a.c, 12); });
  report("byte decode 12", m, [&](int) { byte_decode(r.c, big.data(), 12); });
  report("compress + encode 10", m, [&](int) { Poly t = a; poly_compress(t, 10); byte_encode(out.data(), t.c, 10); });
  report("decode + decompress 10", m, [&](int) { byte_decode(r.c, big.data(), 10); poly_decompress(r, 10); });
  report("compress + encode 4", m, [&](int) { Poly t = a; poly_compress(t, 4); byte_encode(out.data(), t.c, 4); });
  report("message to polynomial", m, [&](int) { poly_frommsg(r, msg.data()); });
  report("polynomial to message", m, [&](int) { poly_tomsg(out.data(), a); });
  std::string hex(2048, ' ');
  report("hex encode, 768 bytes", m, [&](int) { hex_encode(&hex[0], big.data(), 768); });
  report("hex decode, 1536 chars", m, [&](int) { hex_decode(out.data(), hex.data(), 1536); });

  const Params sets[3] = {{2, 3, 2, 10, 4}, {3, 2, 2, 10, 4}, {4, 2, 2, 11, 5}};
  for (const Params& p : sets) {
    Bytes pk(pk_bytes(p)), sk(sk_bytes(p)), ct(ct_bytes(p)), ct2(ct_bytes(p));
    kpke_keygen(p, seed.data(), 32, pk.data(), sk.data());
    kpke_enc(p, pk.data(), msg.data(), coins.data(), 32, ct.data());
    char label[64];
    std::snprintf(label, sizeof label, "kk=%d encryption scheme: keygen", p.kk);
    report(label, n, [&](int i) { seed[0] = uint8_t(i); kpke_keygen(p, seed.data(), 32, pk.data(), sk.data()); });
    report("  encrypt", n, [&](int i) {
      coins[0] = uint8_t(i);
      kpke_enc(p, pk.data(), msg.data(), coins.data(), 32, ct.data());
    });
    uint8_t mm[32];
    report("  decrypt", n, [&](int) { kpke_dec(p, ct.data(), sk.data(), mm); });
    // The whole KEM operations as the module composes them around the core.
    std::snprintf(label, sizeof label, "kk=%d KEM: key generation", p.kk);
    report(label, n, [&](int i) {
      seed[0] = uint8_t(i);
      kpke_keygen(p, seed.data(), 32, pk.data(), sk.data());
      sha3_256(pk.data(), pk.size(), h);
    });
    report("  encapsulation", n, [&](int i) {
      uint8_t pre[64], split[64], key[32];
      msg[0] = uint8_t(i);
      sha3_256(msg.data(), 32, pre);
      sha3_256(pk.data(), pk.size(), pre + 32);
      sha3_512(pre, 64, split);
      kpke_enc(p, pk.data(), pre, split + 32, 32, ct.data());
      sha3_256(ct.data(), ct.size(), split + 32);
      shake256(split, 64, key, 32);
    });
    std::string ct_hex(2 * ct.size(), ' '), again_hex(2 * ct.size(), ' ');
    hex_encode(&ct_hex[0], ct.data(), ct.size());
    report("  decapsulation", n, [&](int) {
      uint8_t pre[64], split[64], acc[32], rej[32], key[32];
      kpke_dec(p, ct.data(), sk.data(), pre);
      std::memcpy(pre + 32, h, 32);
      sha3_512(pre, 64, split);
      kpke_enc(p, pk.data(), pre, split + 32, 32, ct2.data());
      hex_encode(&again_hex[0], ct2.data(), ct2.size());
      const uint8_t same = ct_equal(reinterpret_cast<const uint8_t*>(again_hex.data()),
                                    reinterpret_cast<const uint8_t*>(ct_hex.data()), again_hex.size());
      sha3_256(ct.data(), ct.size(), split + 32);
      shake256(split, 64, acc, 32);
      shake256(split, 64, rej, 32);
      ct_select(key, acc, rej, 32, same);
    });
  }
  std::printf("  (%d)\n", int(st[0] & 1) + int(r.c[0] & 1) + h[0] % 2);
}

}  // namespace

int main(int argc, char** argv) {
  const char* path = "tests/native/vectors.txt";
  bool with_timings = false;
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
    } else if (a == "--timings") {
      with_timings = true;
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
  if (with_timings) timings();
  return g_failures == 0 ? 0 : 1;
}
