// Native core of Latkem: Keccak sponge, polynomial arithmetic mod q = 3329,
// sampling, packing and the CPA-secure public-key encryption underneath the KEM.
//
// Plain C++17, no dependencies, no exceptions, no allocation.
//
// Constant-time policy: nothing here branches on, indexes memory by, or
// divides by a value derived from a secret (seeds, secret keys, messages,
// coins).  The only data-dependent control flow is the rejection sampling of
// the public matrix from the public seed rho (whose AVX2 version also indexes
// a shuffle table by the acceptance mask of that public data).  The AVX2 code
// keeps the same rules: secrets meet only arithmetic, comparisons producing
// masks, blends and fixed shuffles.
//
// Each function below runs on one of the core's backends: portable C++, or
// vectorised code for the processor (backend.h), chosen once per process and
// switchable with select_backend().  The results are identical bit for bit.
//
// Polynomials are int16_t[256].  Coefficient conventions are stated per
// function; "[0,q)" means fully reduced, "|x| < q" means signed and bounded.
// Polynomials in the NTT domain are stored in the natural order used by the
// byte encoding (pairs (c[2i], c[2i+1]) are residues mod X^2 - gamma_i with
// gamma_i = 17^(2*brv7(i)+1)).  The poly_* functions are the unit a vector
// implementation would replace one for one; as long as it keeps this external
// layout at every function boundary the rest of the core is unchanged.
#ifndef LATKEM_NATIVE_CORE_H
#define LATKEM_NATIVE_CORE_H

#include <cstddef>
#include <cstdint>

namespace latkem {
namespace native {

// ---------------------------------------------------------------------------
// Backends.  By default the fastest one this processor runs ("avx2" on x86-64
// processors with AVX2 and BMI2, and an OS that saves the YMM registers);
// "portable" everywhere.  The environment variable LATKEM_PORTABLE=1, read
// once at the first use of the core, selects the portable one.  Selecting
// affects calls made from then on, in every thread.

// The name of the backend in use.
const char* backend_name();
// The names of the backends this build has and this processor runs, the
// default first and "portable" last; null for i past the end.
const char* available_backend(size_t i);
// True if available_backend() lists the name.
bool backend_available(const char* name);
// Selects the named backend; false (and nothing changed) if not available.
bool select_backend(const char* name);
// Makes the choice of the first use again, LATKEM_PORTABLE included.
void select_default_backend();

constexpr int kN = 256;
constexpr int16_t kQ = 3329;
constexpr int kSymBytes = 32;     // seeds, messages, hashes
constexpr int kPolyBytes = 384;   // 256 coefficients at 12 bits
constexpr int kMaxRank = 4;
constexpr int kMaxEta = 8;        // largest eta the CBD sampler accepts

// ---------------------------------------------------------------------------
// Wiping secrets.  Every buffer of the core that held a secret (seeds, coins,
// messages, secret keys, noise, sponge states that absorbed them) is wiped
// before the function owning it returns, on every path.

// Zeroes len bytes at p in a way the compiler keeps even though the memory
// is never read again.  Not inline: the vector backends call it too.
void secure_wipe(void* p, size_t len);

// Zeroes the len (<= kStackWipe) bytes of stack just below the caller's
// frame, where the functions it called left what the compiler kept there
// (spilled Keccak lanes and vector registers, which no buffer wipe reaches).
// kLaneStack is what the multi-way Keccak permutations spill below their
// callers, wiped by the samplers that call them (their frames lie deeper
// than an operation's kStackWipe reaches).  Unoptimised code keeps every
// temporary in its frame: the four-way permutation alone takes 31 KiB.
#if defined(__OPTIMIZE__) || (defined(_MSC_VER) && !defined(_DEBUG))
constexpr size_t kStackWipe = 4096;
constexpr size_t kLaneStack = 1024;
#else
constexpr size_t kStackWipe = 65536;
constexpr size_t kLaneStack = 49152;
#endif
// What one Keccak permutation spills below its caller: its lanes hold the
// output (and, with short input, the input) when it returns, so whoever runs
// a sponge of a secret wipes that much after it.
constexpr size_t kPermutationStack = 1024;
void wipe_stack(size_t len);

// Wipes a buffer when the scope that owns it ends, whatever the path out.
class Wiped {
 public:
  Wiped(void* p, size_t len) : p_(p), len_(len) {}
  ~Wiped() { secure_wipe(p_, len_); }
  Wiped(const Wiped&) = delete;
  Wiped& operator=(const Wiped&) = delete;

 private:
  void* p_;
  size_t len_;
};

// ---------------------------------------------------------------------------
// Keccak-f[1600] and the sponge constructions built on it.

void keccak_f1600(uint64_t state[25]);

// Incremental sponge.  Call absorb() any number of times, then squeeze() any
// number of times; the padding is applied on the first squeeze.  Absorbing
// after squeezing has started is ignored.
class Sponge {
 public:
  Sponge(unsigned rate_bytes, uint8_t domain_pad);
  ~Sponge();  // wipes the state
  Sponge(const Sponge&) = delete;
  Sponge& operator=(const Sponge&) = delete;
  void absorb(const uint8_t* in, size_t len);
  void squeeze(uint8_t* out, size_t len);
  // Squeeze whole rate-sized blocks (out must hold nblocks * rate() bytes).
  void squeeze_blocks(uint8_t* out, size_t nblocks) { squeeze(out, nblocks * rate_); }
  unsigned rate() const { return rate_; }

 private:
  void finalize();
  uint64_t s_[25];
  unsigned rate_;
  unsigned pos_;
  uint8_t pad_;
  bool squeezing_;
};

struct Shake128 : Sponge {
  static constexpr unsigned kRate = 168;
  Shake128() : Sponge(kRate, 0x1F) {}
};

struct Shake256 : Sponge {
  static constexpr unsigned kRate = 136;
  Shake256() : Sponge(kRate, 0x1F) {}
};

void sha3_256(const uint8_t* in, size_t len, uint8_t out[32]);
void sha3_512(const uint8_t* in, size_t len, uint8_t out[64]);
void shake128(const uint8_t* in, size_t inlen, uint8_t* out, size_t outlen);
void shake256(const uint8_t* in, size_t inlen, uint8_t* out, size_t outlen);

// ---------------------------------------------------------------------------
// Modular arithmetic on int16/int32.

// a * 2^-16 mod q for |a| < q * 2^15; result in (-q, q).
int16_t montgomery_reduce(int32_t a);
// a mod q, centred: result in [-(q-1)/2, (q-1)/2] for any int16 a.
int16_t barrett_reduce(int16_t a);
// a * b * 2^-16 mod q; result in (-q, q) when |a*b| < q * 2^15.
int16_t fqmul(int16_t a, int16_t b);
// Any int16 a -> a mod q in [0, q).
int16_t freeze(int16_t a);

// ---------------------------------------------------------------------------
// Polynomial layer.

struct Poly {
  int16_t c[kN];
};

// Forward NTT in place.  Input |c| < q; output is NTT(c) with Barrett-reduced
// (centred, |c| <= (q-1)/2) coefficients.
void poly_ntt(Poly& p);
// Inverse NTT in place, multiplied by 2^16: output = 2^16 * NTT^-1(p) mod q
// with |c| < q.  Input |c| < 4q.  Pairs with the Montgomery base
// multiplication so that invntt_tomont(basemul(a,b)) = NTT^-1(a o b).
void poly_invntt_tomont(Poly& p);
// r = (a o b) * 2^-16, with |r| < q.  Inputs |c| < q.
void poly_basemul_montgomery(Poly& r, const Poly& a, const Poly& b);
// r = (sum_j a[j] o b[j]) * 2^-16 for j < kk (kk <= 4), |r| < q.  Inputs |c| < q.
void polyvec_basemul_acc_montgomery(Poly& r, const Poly* a, const Poly* b, int kk);
// Multiply every coefficient by 2^16 mod q; output |c| < q.
void poly_tomont(Poly& p);
// Barrett-reduce every coefficient (centred).
void poly_reduce(Poly& p);
// Every int16 coefficient to [0, q).
void poly_freeze(Poly& p);
void poly_add(Poly& r, const Poly& a, const Poly& b);
void poly_sub(Poly& r, const Poly& a, const Poly& b);

// Helpers on already reduced input in [0, q); outputs in [0, q).
void ntt_reduced(const int16_t in[kN], int16_t out[kN]);
void invntt_reduced(const int16_t in[kN], int16_t out[kN]);
void basemul_reduced(const int16_t a[kN], const int16_t b[kN], int16_t out[kN]);

// ---------------------------------------------------------------------------
// Sampling.

// Centred binomial distribution with parameter eta (1..8) from 64*eta bytes:
// coefficient i = (sum of eta bits) - (sum of the next eta bits), starting at
// bit 2*i*eta, bits least significant first.  Output in [-eta, eta].
// Returns false (and leaves p untouched) if eta is out of range.
bool cbd(Poly& p, const uint8_t* buf, int eta);
// Same, with the output reduced to [0, q).
bool cbd_reduced(Poly& p, const uint8_t* buf, int eta);
// PRF_eta(seed, nonce) = SHAKE-256(seed || nonce), 64*eta bytes, fed to cbd().
bool sample_noise(Poly& p, const uint8_t* seed, size_t seedlen, uint8_t nonce, int eta);

// Matrix entry A[i][j] (row i, column j) from SHAKE-128(rho || j || i) by
// rejection sampling over the first 768 output bytes.  Output in [0, q).
// Returns false if those 768 bytes yield fewer than 256 coefficients.  This
// branches on public data only.
bool sample_matrix_entry(Poly& p, const uint8_t rho[32], uint8_t i, uint8_t j);

// Core of the rejection sampler: parse 3-byte groups of buf (len a multiple
// of 3) into p starting at index ctr; returns the new count (<= 256).
int rej_uniform(int16_t* p, int ctr, const uint8_t* buf, size_t len);

// ---------------------------------------------------------------------------
// Packing and compression.

// ByteEncode_d, d in 1..12: 32*d bytes.  Input coefficients are taken modulo
// 2^d (callers pass values already in [0, 2^d) or [0, q) for d = 12).
void byte_encode(uint8_t* out, const int16_t a[kN], int d);
// ByteDecode_d: values in [0, 2^d) (no reduction mod q, also for d = 12).
void byte_decode(int16_t a[kN], const uint8_t* in, int d);

// floor((2^d * x + 1664) / q) mod 2^d for x in [0, q), d in 1..11.
int16_t compress(int16_t x, int d);
// round(q * y / 2^d), ties to even, for y in [0, 2^d), d in 1..11.
int16_t decompress(int16_t y, int d);
void poly_compress(Poly& p, int d);    // in place, [0,q) -> [0,2^d)
void poly_decompress(Poly& p, int d);  // in place, [0,2^d) -> [0,q)

// Message <-> polynomial: bit i (LSB first) -> 1665 * bit; and back via
// compress_1.  poly_frommsg output in [0, q); poly_tomsg input in [0, q).
void poly_frommsg(Poly& p, const uint8_t msg[32]);
void poly_tomsg(uint8_t msg[32], const Poly& p);

// ---------------------------------------------------------------------------
// Hex.

// Hides a value from the optimiser, so that mask arithmetic on it is not
// turned back into a branch.
inline uint32_t value_barrier(uint32_t x) {
#if defined(__GNUC__) || defined(__clang__)
  __asm__("" : "+r"(x));
  return x;
#else
  volatile uint32_t v = x;
  return v;
#endif
}

// All ones when lo <= c <= hi, else zero (c, lo, hi in 0..255).
inline uint32_t in_range_mask(int32_t c, int32_t lo, int32_t hi) {
  return uint32_t(~(((c - lo) | (hi - c)) >> 31));
}

// The value of a hex digit of either case; any other character sets bit 0
// of `bad`.  Arithmetic only: hex text may carry key material.
inline uint32_t hex_digit(char ch, uint32_t& bad) {
  const int32_t c = static_cast<unsigned char>(ch);
  const int32_t lower = c | 0x20;
  const uint32_t digit = in_range_mask(c, '0', '9');
  const uint32_t alpha = in_range_mask(lower, 'a', 'f');
  bad |= ~(digit | alpha) & 1u;
  return (digit & uint32_t(c - '0')) | (alpha & uint32_t(lower - 'a' + 10));
}

// 2*len lower-case hex characters (no terminator).
void hex_encode(char* out, const uint8_t* in, size_t len);
// Decodes hexlen characters (either case) into hexlen/2 bytes.  Returns false
// on odd length or any non-hex character; out then holds no meaningful value.  Time
// depends on hexlen only.
bool hex_decode(uint8_t* out, const char* hex, size_t hexlen);

// ---------------------------------------------------------------------------
// Constant-time helpers.

// 1 if a[0..len) == b[0..len), else 0; no early exit.
uint8_t ct_equal(const uint8_t* a, const uint8_t* b, size_t len);
// out = take_a ? a : b (take_a must be 0 or 1), without branching on take_a.
// out may alias a or b.
void ct_select(uint8_t* out, const uint8_t* a, const uint8_t* b, size_t len, uint8_t take_a);

// ---------------------------------------------------------------------------
// CPA-secure public-key encryption.

struct Params {
  int kk;  // module rank
  int eta1;
  int eta2;
  int du;
  int dv;
};

// The parameters the core supports, one rule each: params_valid() and the
// module's guard both go by these.
constexpr int kMaxDu = 11;
constexpr int kMaxDv = 5;
constexpr bool kk_supported(long long kk) { return kk >= 2 && kk <= kMaxRank; }
// eta1 and eta2 alike: the vector backends' cbd takes 2 or 3.
constexpr bool eta_supported(long long eta) { return eta == 2 || eta == 3; }
constexpr bool du_supported(long long du) { return du == 10 || du == kMaxDu; }
constexpr bool dv_supported(long long dv) { return dv == 4 || dv == kMaxDv; }

// All five supported.
bool params_valid(const Params& p);
constexpr size_t pk_bytes(const Params& p) { return size_t(kPolyBytes) * p.kk + kSymBytes; }
constexpr size_t sk_bytes(const Params& p) { return size_t(kPolyBytes) * p.kk; }
constexpr size_t ct_bytes(const Params& p) { return size_t(32) * (p.du * p.kk + p.dv); }

// The largest sizes of any supported parameters, for buffers that serve them all.
constexpr Params kLargestParams{kMaxRank, 2, 2, kMaxDu, kMaxDv};
constexpr size_t kMaxPkBytes = pk_bytes(kLargestParams);
constexpr size_t kMaxSkBytes = sk_bytes(kLargestParams);
constexpr size_t kMaxCtBytes = ct_bytes(kLargestParams);

// pk: pk_bytes(p), sk: sk_bytes(p).  Returns false on invalid params or if a
// matrix entry could not be sampled from 768 bytes (the caller then uses the
// slow path).
bool kpke_keygen(const Params& p, const uint8_t* seed, size_t seedlen, uint8_t* pk, uint8_t* sk);
// ct: ct_bytes(p).  Same failure conditions as keygen.
bool kpke_enc(const Params& p, const uint8_t* pk, const uint8_t msg[32], const uint8_t* coins,
              size_t coinslen, uint8_t* ct);
// Returns false only on invalid params.
bool kpke_dec(const Params& p, const uint8_t* ct, const uint8_t* sk, uint8_t msg[32]);

// ---------------------------------------------------------------------------
// The key encapsulation on raw bytes, with all its hashing in one place, so
// that hashes of independent inputs share the multi-way Keccak passes of the
// sampling.  H = SHA3-256, G = SHA3-512, KDF = SHAKE-256 with 32 bytes out.

// Encapsulation to pk (pk_bytes(p)) of the caller's random bytes m (any
// length): m' = H(m), (K_bar, coins) = G(m' || H(pk)), ct = the encryption of
// m' under pk with coins (ct_bytes(p)), key = KDF(K_bar || H(ct)).  Same
// failure conditions as kpke_enc.
bool kem_enc(const Params& p, const uint8_t* pk, const uint8_t* m, size_t mlen, uint8_t* ct,
             uint8_t key[32]);

// Decapsulation of ct (ct_bytes(p)), given as bytes and as the hex text the
// caller received (2 * ct_bytes(p) characters), with the parts of the secret
// key: sk (sk_bytes(p)), pk (pk_bytes(p)), h = H(pk) and z.  m' = decryption
// of ct, (K_bar, coins) = G(m' || h), and the re-encryption of m' with coins
// as lower-case hex is compared with ct_text: same = 1 if equal, else 0;
// key = KDF(K_bar || H(ct)) if equal, else KDF(z || H(ct)).  Constant time
// up to `same`.  Same failure conditions as kpke_enc.
bool kem_dec(const Params& p, const uint8_t* ct, const char* ct_text, const uint8_t* sk,
             const uint8_t* pk, const uint8_t h[32], const uint8_t z[32], uint8_t key[32],
             uint8_t& same);

// Encapsulation to a public key of another length than pk_bytes(p) (pk_size
// bytes), as the scheme's functions take it: m' = H(m) and the coins of
// G(m' || H(pk)) into m_hash and coins; for a longer key also ct and key as
// kem_enc makes them, with t read from the key's first pk_bytes(p) - 32
// bytes and rho from its last 32.  Answers whether ct and key were made:
// false for a shorter key, or as kpke_enc.
bool kem_enc_other(const Params& p, const uint8_t* pk, size_t pk_size, const uint8_t* m,
                   size_t mlen, uint8_t m_hash[32], uint8_t coins[32], uint8_t* ct,
                   uint8_t key[32]);

// The rejection key for a ciphertext of any length: KDF(z || H(ct)).
void kem_reject(const uint8_t z[32], const uint8_t* ct, size_t ct_len, uint8_t key[32]);

}  // namespace native
}  // namespace latkem

#endif  // LATKEM_NATIVE_CORE_H
