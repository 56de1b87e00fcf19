// Arithmetic modulo q and the NTT: the reductions over their whole ranges,
// the transforms and products against their definitions.
#include <cstring>

#include "check.h"

namespace selftest {
namespace {

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

}  // namespace

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

}  // namespace selftest
