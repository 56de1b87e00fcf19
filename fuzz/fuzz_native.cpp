// libFuzzer target for the native core's parsing of hex text, keys and
// ciphertexts.  Built with -fsanitize=fuzzer,address,undefined by
// fuzz/build_native.sh; every buffer handed to the core is a heap block of
// exactly the size the core may touch, so any read past it is reported.
//
// The first input byte picks the operation and the parameter set, the rest
// is the operation's data.  Invariants checked (a failure aborts):
//   - hex_decode accepts exactly the even-length texts of hex digits (either
//     case) and gives the bytes a plain table decoder gives;
//   - hex_encode then hex_decode is the identity;
//   - byte_decode gives values in [0, 2^d), and byte_encode gives back the
//     input bytes;
//   - kpke_dec takes any ciphertext and secret key of the right size;
//   - kpke_enc takes any public key (also coefficients >= q) and coins of any
//     length, and is deterministic;
//   - for keys made from the input seed: stored coefficients are in [0, q),
//     dec(enc(m)) == m, and in the KEM's check (coins from G) a re-encryption
//     matches a ciphertext exactly when the ciphertext was not changed;
//   - parameters the core does not support are refused before any buffer is
//     touched;
//   - every backend this processor runs gives the portable bytes.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core.h"

using namespace latkem::native;

namespace {

#define REQUIRE(cond)                                                             \
  do {                                                                            \
    if (!(cond)) {                                                                \
      std::fprintf(stderr, "invariant failed at %s:%d: %s\n", __FILE__, __LINE__, \
                   #cond);                                                        \
      std::abort();                                                               \
    }                                                                             \
  } while (0)

// Reads the input front to back; past its end it yields zeros.
struct Input {
  const uint8_t* data;
  size_t size;
  uint8_t byte() {
    if (!size) return 0;
    --size;
    return *data++;
  }
  // Exactly n bytes in a heap block of that size (zero-filled past the input).
  std::vector<uint8_t> take(size_t n) {
    std::vector<uint8_t> out(n, 0);
    const size_t k = n < size ? n : size;
    if (k) std::memcpy(out.data(), data, k);
    data += k;
    size -= k;
    return out;
  }
  std::vector<uint8_t> rest() { return take(size); }
};

const Params kSets[] = {{2, 3, 2, 10, 4}, {3, 2, 2, 10, 4}, {4, 2, 2, 11, 5}, {2, 2, 3, 11, 5}};

// Runs `op` on the portable backend and on every other one this processor
// runs, and requires the same output bytes.
template <class Op>
std::vector<uint8_t> both_paths(Op op) {
  select_backend("portable");
  std::vector<uint8_t> portable = op();
  for (size_t b = 0; available_backend(b) != nullptr; ++b) {
    if (std::strcmp(available_backend(b), "portable") == 0) continue;
    select_backend(available_backend(b));
    std::vector<uint8_t> vector = op();
    select_backend("portable");
    REQUIRE(portable == vector);
  }
  return portable;
}

int hex_value(uint8_t c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void fuzz_hex_decode(Input& in) {
  const std::vector<uint8_t> text = in.rest();
  bool expect_ok = text.size() % 2 == 0;
  std::vector<uint8_t> expect(text.size() / 2);
  for (size_t i = 0; expect_ok && i < expect.size(); ++i) {
    const int hi = hex_value(text[2 * i]), lo = hex_value(text[2 * i + 1]);
    if (hi < 0 || lo < 0) expect_ok = false;
    else expect[i] = uint8_t(hi << 4 | lo);
  }
  std::vector<uint8_t> result = both_paths([&] {
    std::vector<uint8_t> out(text.size() / 2 + 1);  // +1: keeps a non-null block
    const bool ok = hex_decode(out.data(), reinterpret_cast<const char*>(text.data()),
                               text.size());
    REQUIRE(ok == expect_ok);
    out.pop_back();
    if (!ok) out.assign(1, 0xEE);  // contents are not defined on failure
    return out;
  });
  if (expect_ok) REQUIRE(result == expect);
}

void fuzz_hex_round_trip(Input& in) {
  const std::vector<uint8_t> raw = in.rest();
  std::vector<uint8_t> text = both_paths([&] {
    std::vector<uint8_t> t(2 * raw.size() + 1);
    hex_encode(reinterpret_cast<char*>(t.data()), raw.data(), raw.size());
    t.pop_back();
    return t;
  });
  for (uint8_t c : text) REQUIRE((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'));
  for (int upper = 0; upper < 2; ++upper) {
    if (upper)
      for (uint8_t& c : text) c = uint8_t(c >= 'a' ? c - 32 : c);
    std::vector<uint8_t> back(raw.size() + 1);
    REQUIRE(hex_decode(back.data(), reinterpret_cast<const char*>(text.data()), text.size()));
    back.pop_back();
    REQUIRE(back == raw);
  }
}

void fuzz_byte_codec(Input& in) {
  const int d = 1 + in.byte() % 12;
  const std::vector<uint8_t> bytes = in.take(size_t(32) * d);
  std::vector<uint8_t> decoded = both_paths([&] {
    std::vector<int16_t> a(kN);
    byte_decode(a.data(), bytes.data(), d);
    for (int16_t v : a) REQUIRE(v >= 0 && v < (1 << d));
    std::vector<uint8_t> again(size_t(32) * d);
    byte_encode(again.data(), a.data(), d);
    REQUIRE(again == bytes);
    return std::vector<uint8_t>(reinterpret_cast<uint8_t*>(a.data()),
                                reinterpret_cast<uint8_t*>(a.data() + kN));
  });
  (void)decoded;
}

void fuzz_dec(Input& in, const Params& p) {
  const std::vector<uint8_t> ct = in.take(ct_bytes(p));
  const std::vector<uint8_t> sk = in.take(sk_bytes(p));
  both_paths([&] {
    std::vector<uint8_t> msg(32);
    REQUIRE(kpke_dec(p, ct.data(), sk.data(), msg.data()));
    return msg;
  });
}

void fuzz_enc(Input& in, const Params& p) {
  const std::vector<uint8_t> pk = in.take(pk_bytes(p));
  const std::vector<uint8_t> msg = in.take(32);
  const size_t coins_len = in.byte() % 80;
  const std::vector<uint8_t> coins = in.take(coins_len);
  auto once = [&] {
    std::vector<uint8_t> ct(ct_bytes(p));
    if (!kpke_enc(p, pk.data(), msg.data(), coins.data(), coins.size(), ct.data()))
      return std::vector<uint8_t>();  // the matrix could not be sampled: the module's host path
    return ct;
  };
  const std::vector<uint8_t> first = both_paths(once);
  REQUIRE(both_paths(once) == first);
}

// Keys from the input seed, one encryption, decryption and the KEM's check.
void fuzz_keys(Input& in, const Params& p) {
  const size_t seed_len = in.byte() % 65;
  const std::vector<uint8_t> seed = in.take(seed_len);
  const std::vector<uint8_t> msg = in.take(32);
  const std::vector<uint8_t> coins = in.take(32);
  const size_t pk_len = pk_bytes(p), sk_len = sk_bytes(p), ct_len = ct_bytes(p);
  std::vector<uint8_t> pk(pk_len), sk(sk_len);
  std::vector<uint8_t> keys = both_paths([&] {
    if (!kpke_keygen(p, seed.data(), seed.size(), pk.data(), sk.data()))
      return std::vector<uint8_t>();
    std::vector<uint8_t> both(pk);
    both.insert(both.end(), sk.begin(), sk.end());
    return both;
  });
  if (keys.empty()) return;
  std::memcpy(pk.data(), keys.data(), pk_len);
  std::memcpy(sk.data(), keys.data() + pk_len, sk_len);

  // Stored coefficients are reduced.
  for (int i = 0; i < p.kk; ++i) {
    int16_t t[kN], s[kN];
    byte_decode(t, pk.data() + kPolyBytes * i, 12);
    byte_decode(s, sk.data() + kPolyBytes * i, 12);
    for (int j = 0; j < kN; ++j) REQUIRE(t[j] < kQ && s[j] < kQ);
  }

  // dec(enc(m)) == m, with coins of any length.
  std::vector<uint8_t> ct = both_paths([&] {
    std::vector<uint8_t> c(ct_len);
    REQUIRE(kpke_enc(p, pk.data(), msg.data(), coins.data(), coins.size(), c.data()));
    return c;
  });
  std::vector<uint8_t> back = both_paths([&] {
    std::vector<uint8_t> m(32);
    REQUIRE(kpke_dec(p, ct.data(), sk.data(), m.data()));
    return m;
  });
  REQUIRE(back == msg);

  // The KEM's check: coins are G(m || H(pk)); decapsulation decrypts,
  // re-derives and re-encrypts.  A changed ciphertext (position and bits from
  // the input) never matches its re-encryption; the unchanged one always does.
  uint8_t h[32];
  sha3_256(pk.data(), pk_len, h);
  auto coins_for = [&](const uint8_t* m, uint8_t out[64]) {
    uint8_t seed2[64];
    std::memcpy(seed2, m, 32);
    std::memcpy(seed2 + 32, h, 32);
    sha3_512(seed2, 64, out);
  };
  uint8_t split[64];
  coins_for(msg.data(), split);
  std::vector<uint8_t> kem_ct(ct_len);
  REQUIRE(kpke_enc(p, pk.data(), msg.data(), split + 32, 32, kem_ct.data()));
  const size_t pos = (size_t(in.byte()) << 8 | in.byte()) % ct_len;
  const uint8_t flip = in.byte();
  std::vector<uint8_t> forged(kem_ct);
  forged[pos] ^= flip;
  both_paths([&] {
    std::vector<uint8_t> m(32), again(ct_len);
    uint8_t split2[64];
    REQUIRE(kpke_dec(p, forged.data(), sk.data(), m.data()));
    coins_for(m.data(), split2);
    REQUIRE(kpke_enc(p, pk.data(), m.data(), split2 + 32, 32, again.data()));
    REQUIRE(ct_equal(again.data(), forged.data(), ct_len) == (flip == 0));
    return again;
  });
}

// Parameters outside the supported sets: every entry point refuses them
// without touching its (empty) buffers.
void fuzz_bad_params(Input& in) {
  Params p{int8_t(in.byte()), int8_t(in.byte()), int8_t(in.byte()), int8_t(in.byte()),
           int8_t(in.byte())};
  if (params_valid(p)) return;
  both_paths([&] {
    uint8_t* none = static_cast<uint8_t*>(std::malloc(1));
    uint8_t msg[32] = {0};
    REQUIRE(!kpke_keygen(p, none, 0, none, none));
    REQUIRE(!kpke_enc(p, none, msg, none, 0, none));
    REQUIRE(!kpke_dec(p, none, none, msg));
    std::free(none);
    return std::vector<uint8_t>();
  });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Input in{data, size};
  const uint8_t head = in.byte();
  const Params& p = kSets[(head >> 4) % 4];
  switch (head % 8) {
    case 0: fuzz_hex_decode(in); break;
    case 1: fuzz_hex_round_trip(in); break;
    case 2: fuzz_byte_codec(in); break;
    case 3: fuzz_dec(in, p); break;
    case 4: fuzz_enc(in, p); break;
    case 5:
    case 6: fuzz_keys(in, p); break;
    default: fuzz_bad_params(in); break;
  }
  return 0;
}

// Mutations that keep an input's structure, half of the time: the operation
// byte and the length stay, and one to four bytes change in a way that keeps
// their kind (a hex digit becomes another hex digit, or its other case;
// another byte becomes a value at an edge the core tests: 0, 0xff, the bytes
// of q = 3329 and of 2^12 - 1 in 12-bit packing).  A valid key or
// ciphertext of the seed corpus so stays of the right length with a few
// changes, where libFuzzer's own mutations mostly insert or erase bytes.
// The other half are libFuzzer's own (with the dictionary).
extern "C" size_t LLVMFuzzerMutate(uint8_t* data, size_t size, size_t max_size);

extern "C" size_t LLVMFuzzerCustomMutator(uint8_t* data, size_t size, size_t max_size,
                                          unsigned int seed) {
  uint32_t r = seed * 2654435761u + 1;
  auto next = [&r](uint32_t bound) {
    r ^= r << 13;
    r ^= r >> 17;
    r ^= r << 5;
    return bound ? r % bound : 0;
  };
  if (size < 2 || next(2) == 0) return LLVMFuzzerMutate(data, size, max_size);
  static const char kDigits[] = "0123456789abcdefABCDEF";
  static const uint8_t kEdges[] = {0x00, 0xff, 0x01, 0x80, 0x7f, 0x01, 0x0d, 0xd0,
                                   0x0c, 0xff, 0x0f, 0xf0, 0x10, 0x20, 0x40};
  const uint32_t changes = 1 + next(4);
  for (uint32_t k = 0; k < changes; ++k) {
    const size_t i = 1 + next(static_cast<uint32_t>(size - 1));
    const uint8_t c = data[i];
    const bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    if (hex)
      data[i] = static_cast<uint8_t>(kDigits[next(sizeof kDigits - 1)]);
    else
      data[i] = kEdges[next(sizeof kEdges)];
  }
  return size;
}
