// The cores against each other: each function of the core, on the portable
// core and on the processor's fastest, bit for bit on the same random input
// (inside each function's input contract).
#include <cctype>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "check.h"
#if defined(LATKEM_HAVE_AVX2)
#include "../../latkem_alg/native/avx2/avx2.h"
#endif

namespace selftest {
namespace {

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

#define SAME(f, ...)                                   \
  do {                                                 \
    const auto r_ = portable_then_default(f);          \
    CHECK(r_.first == r_.second, __VA_ARGS__);         \
  } while (0)

using Coeffs = std::vector<int16_t>;

Coeffs coeffs(const int16_t* c) { return Coeffs(c, c + kN); }

Poly random_poly(Rng& rng, int lo, int hi) {
  Poly p;
  for (auto& c : p.c) c = int16_t(lo + rng.below(hi - lo + 1));
  return p;
}

Bytes rho_of(const Bytes& pk) { return Bytes(pk.end() - 32, pk.end()); }

// Keccak: the permutation, the sponges over lengths around the rates, and
// the four-way sponge against four single ones.
void paths_keccak(Rng& rng) {
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
}

// Polynomial layer, inside each function's input contract.
void paths_poly(Rng& rng) {
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
}

// The samplers: the noise, the rejection sampling and the matrix entries.
void paths_samplers(Rng& rng) {
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
}

// Packing, compression, messages.
void paths_encoding(Rng& rng) {
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
}

// Hex and the constant-time helpers over lengths around the vector width.
void paths_bytes(Rng& rng) {
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
}

// The encryption scheme, every parameter set, seeds and coins of any
// length (long ones are absorbed over several blocks), and decryption of
// random ciphertexts under random keys as well.
void paths_scheme(Rng& rng) {
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

void test_paths_agree() {
  if (!has_vector_backend()) {
    std::printf("only the portable backend on this machine: backend comparison skipped\n");
    return;
  }
  select_backend(available_backend(0));
  g_path = available_backend(0);
  Rng rng(8);
  paths_keccak(rng);
  paths_poly(rng);
  paths_samplers(rng);
  paths_encoding(rng);
  paths_bytes(rng);
  paths_scheme(rng);
}

}  // namespace selftest
