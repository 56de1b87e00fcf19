// Internal: the processor-specific half of the core.
//
// A backend is a table of functions with the contracts of the core.h
// functions of the same names, each giving the portable result bit for bit.
// Each backend lives in its own folder (portable/, avx2/, neon/) and defines its
// table as a constant, so that nothing in it runs before the processor has
// been checked.  dispatch.cpp lists the backends and picks one once per
// process; core.cpp forwards the core.h functions to it, and kpke.cpp is
// written once over it.
//
// Adding a backend: a folder with its functions and its table, one line in
// the list in dispatch.cpp, one in the build.  Adding a slot: one line in
// LATKEM_BACKEND_SLOTS below and a function of that name in each backend;
// the build fails until every backend has it.
//
// Files compiled with vector flags must not call inline functions or
// templates shared with the rest of the core (the inline functions of this
// header and of core.h, standard library templates): the linker could keep
// their vector copy for everyone.  Such files only define their own
// functions, in their own namespace, and the table.
#ifndef LATKEM_NATIVE_BACKEND_H
#define LATKEM_NATIVE_BACKEND_H

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "core.h"

namespace latkem {
namespace native {

// zetas[k] = 17^brv7(k) * 2^16 mod q, centred.  Entry 0 is unused by the
// transforms; entries 64..127 are the gamma values of the base multiplication.
constexpr int16_t kZetas[128] = {
    -1044, -758,  -359,  -1517, 1493,  1422,  287,   202,   -171,  622,   1577,  182,   962,
    -1202, -1474, 1468,  573,   -1325, 264,   383,   -829,  1458,  -1602, -130,  -681,  1017,
    732,   608,   -1542, 411,   -205,  -1571, 1223,  652,   -552,  1015,  -1293, 1491,  -282,
    -1544, 516,   -8,    -320,  -666,  -1618, -1162, 126,   1469,  -853,  -90,   -271,  830,
    107,   -1421, -247,  -951,  -398,  961,   -1508, -725,  448,   -1065, 677,   -1275, -1103,
    430,   555,   843,   -1251, 871,   1550,  105,   422,   587,   177,   -235,  -291,  -460,
    1574,  1653,  -246,  778,   1159,  -147,  -777,  1483,  -602,  1119,  -1590, 644,   -872,
    349,   418,   329,   -156,  -75,   817,   1097,  603,   610,   1322,  -1285, -1465, 384,
    -1215, -136,  1218,  -1335, -874,  220,   -1187, -1659, -1185, -1530, -1278, 794,   -1510,
    -854,  -870,  478,   -108,  -308,  996,   991,   958,   -1460, 1522,  1628,
};

// The round constants of Keccak-f[1600], iota's value for rounds 0..23;
// every backend's permutation takes them from here.
constexpr uint64_t kKeccakRoundConstants[24] = {
    0x0000000000000001ULL, 0x0000000000008082ULL, 0x800000000000808aULL, 0x8000000080008000ULL,
    0x000000000000808bULL, 0x0000000080000001ULL, 0x8000000080008081ULL, 0x8000000000008009ULL,
    0x000000000000008aULL, 0x0000000000000088ULL, 0x0000000080008009ULL, 0x000000008000000aULL,
    0x000000008000808bULL, 0x800000000000008bULL, 0x8000000000008089ULL, 0x8000000000008003ULL,
    0x8000000000008002ULL, 0x8000000000000080ULL, 0x000000000000800aULL, 0x800000008000000aULL,
    0x8000000080008081ULL, 0x8000000000008080ULL, 0x0000000080000001ULL, 0x8000000080008008ULL,
};

// One sponge of a KemWork: in[0, len) absorbed at `rate` bytes with domain
// byte `pad`, and outlen (<= rate, a multiple of 8) bytes squeezed into out:
// SHA3-256 is rate 136, pad 0x06, 32 bytes; SHA3-512 rate 72, pad 0x06, 64
// bytes; SHAKE-256 rate 136, pad 0x1F.
struct KemHash {
  const uint8_t* in;
  size_t len;
  unsigned rate;
  uint8_t pad;
  uint8_t* out;
  size_t outlen;
  bool gates;  // a `first` hash that then() waits for
};

// The Keccak work of one encapsulation or decapsulation: the sampling of
// sample_matrix_and_noise() (m, rho, kk, transpose; noise, eta, count, seed,
// seedlen) and hashes of inputs independent of it, in three steps:
//   - the `first` hashes, the matrix and (unless noise_after is set) the
//     noise start at once;
//   - once the `first` hashes marked `gates` are done, then(ctx) runs (if
//     set; it may fill the noise seed), and the noise starts if noise_after;
//   - once every `first` hash is done and then() has run, last(ctx) runs (if
//     set; it may fill the inputs of the `after` hashes), and they start.
// seedlen < 135, nfirst and nafter <= kMaxKemHashes.  Returns false if a
// matrix entry fails; the outputs then hold no meaningful value.
constexpr int kMaxKemHashes = 4;
struct KemWork {
  Poly* m;
  const uint8_t* rho;
  int kk;
  bool transpose;
  Poly* noise;
  const int* eta;
  int count;
  const uint8_t* seed;
  size_t seedlen;
  bool noise_after;
  const KemHash* first;
  int nfirst;
  void (*then)(void* ctx);
  void (*last)(void* ctx);
  void* ctx;
  const KemHash* after;
  int nafter;
};

// The slots of a backend table, each a function with the contract of the
// core.h function of the same name, or the one stated here: REQUIRED(ctx,
// slot, return type, parameters) for those every backend gives, OPTIONAL(...)
// for those it may leave null.  The one place a slot is declared: the Backend
// struct, the tables and their check are written from this list.
#define LATKEM_BACKEND_SLOTS(REQUIRED, OPTIONAL, ctx)                                             \
  /* Keccak-f[1600] on one state.                                             */                  \
  REQUIRED(ctx, keccak_f1600, void, (uint64_t state[25]))                                         \
  /* Polynomial layer.                                                        */                  \
  REQUIRED(ctx, poly_ntt, void, (Poly & p))                                                       \
  REQUIRED(ctx, poly_invntt_tomont, void, (Poly & p))                                             \
  REQUIRED(ctx, polyvec_basemul_acc_montgomery, void,                                             \
           (Poly & r, const Poly* a, const Poly* b, int kk))                                      \
  REQUIRED(ctx, poly_tomont, void, (Poly & p))                                                    \
  REQUIRED(ctx, poly_reduce, void, (Poly & p))                                                    \
  REQUIRED(ctx, poly_freeze, void, (Poly & p))                                                    \
  REQUIRED(ctx, poly_add, void, (Poly & r, const Poly& a, const Poly& b))                         \
  REQUIRED(ctx, poly_sub, void, (Poly & r, const Poly& a, const Poly& b))                         \
  /* Sampling.  cbd is called with eta = 2 or 3 only and returns true.        */                  \
  REQUIRED(ctx, cbd, bool, (Poly & p, const uint8_t* buf, int eta))                               \
  REQUIRED(ctx, rej_uniform, int, (int16_t * p, int ctr, const uint8_t* buf, size_t len))         \
  REQUIRED(ctx, sample_matrix_entry, bool,                                                        \
           (Poly & p, const uint8_t rho[32], uint8_t i, uint8_t j))                               \
  /* All the sampling of one key generation or encryption, in whatever order  */                  \
  /* and batching suits the processor: the kk x kk matrix, m[x*kk + y] =      */                  \
  /* A[x][y] (or A[y][x] when transpose is set), as sample_matrix_entry()     */                  \
  /* gives it, and noise[k] = CBD_eta[k](PRF(seed, k)) for k < count, as      */                  \
  /* sample_noise() gives it (eta 2 or 3).  Returns false if a matrix entry   */                  \
  /* fails; the outputs then hold no meaningful value.                        */                  \
  REQUIRED(ctx, sample_matrix_and_noise, bool,                                                    \
           (Poly * m, const uint8_t rho[32], int kk, bool transpose, Poly* noise,                 \
            const int* eta, int count, const uint8_t* seed, size_t seedlen))                      \
  /* Packing and compression.                                                 */                  \
  REQUIRED(ctx, byte_encode, void, (uint8_t * out, const int16_t* a, int d))                      \
  REQUIRED(ctx, byte_decode, void, (int16_t * a, const uint8_t* in, int d))                       \
  REQUIRED(ctx, poly_compress, void, (Poly & p, int d))                                           \
  REQUIRED(ctx, poly_decompress, void, (Poly & p, int d))                                         \
  REQUIRED(ctx, poly_frommsg, void, (Poly & p, const uint8_t msg[32]))                            \
  REQUIRED(ctx, poly_tomsg, void, (uint8_t msg[32], const Poly& p))                               \
  /* Hex and constant-time helpers.                                           */                  \
  REQUIRED(ctx, hex_encode, void, (char* out, const uint8_t* in, size_t len))                     \
  REQUIRED(ctx, hex_decode, bool, (uint8_t * out, const char* hex, size_t hexlen))                \
  REQUIRED(ctx, ct_equal, uint8_t, (const uint8_t* a, const uint8_t* b, size_t len))              \
  REQUIRED(ctx, ct_select, void,                                                                  \
           (uint8_t * out, const uint8_t* a, const uint8_t* b, size_t len, uint8_t take_a))       \
  /* The whole KemWork, its hashes sharing the lanes of a multi-way Keccak    */                  \
  /* with the sampling.  Null where the backend has none: the core then does  */                  \
  /* the steps one after the other (kpke.cpp), with the same results.         */                  \
  OPTIONAL(ctx, kem_work, bool, (const KemWork& w))

#define LATKEM_BACKEND_MEMBER(ctx, slot, ret, params) ret(*slot) params;
struct Backend {
  const char* name;
  LATKEM_BACKEND_SLOTS(LATKEM_BACKEND_MEMBER, LATKEM_BACKEND_MEMBER, )
};
#undef LATKEM_BACKEND_MEMBER

// A table filled by name: each slot takes the function of its name in the
// namespace ns (the backend's own functions, using-declarations for those it
// takes from another backend, and `constexpr std::nullptr_t slot = nullptr`
// for an optional slot it has none for).  A slot that ns lacks fails the
// build; the names being qualified, none falls back to the core.h function
// of the same name (which would call the backend again).
#define LATKEM_BACKEND_ENTRY(ns, slot, ret, params) , ns::slot
#define LATKEM_BACKEND_TABLE(ns, name)                                                            \
  ::latkem::native::Backend {                                                                     \
    name LATKEM_BACKEND_SLOTS(LATKEM_BACKEND_ENTRY, LATKEM_BACKEND_ENTRY, ns)                     \
  }

// The check of a table: the first required slot it leaves null (`name` for
// the name), or `none`.  Compile time only: nothing of it is emitted, so the
// vector folders may use it.
namespace slots {
#define LATKEM_BACKEND_ENUM(ctx, slot, ret, params) slot,
enum class Slot { name, LATKEM_BACKEND_SLOTS(LATKEM_BACKEND_ENUM, LATKEM_BACKEND_ENUM, ) none };
#undef LATKEM_BACKEND_ENUM

#define LATKEM_BACKEND_REQUIRED(ctx, slot, ret, params)                                           \
  if (b.slot == nullptr) return Slot::slot;
#define LATKEM_BACKEND_OPTIONAL(ctx, slot, ret, params)
constexpr Slot first_unset(const Backend& b) {
  if (b.name == nullptr) return Slot::name;
  LATKEM_BACKEND_SLOTS(LATKEM_BACKEND_REQUIRED, LATKEM_BACKEND_OPTIONAL, )
  return Slot::none;
}
#undef LATKEM_BACKEND_REQUIRED
#undef LATKEM_BACKEND_OPTIONAL

// Instantiated with what first_unset() found, so that the compiler's message
// names the slot.
template <Slot kUnset>
struct AllSet {
  static_assert(kUnset == Slot::none, "a backend table leaves this slot null");
  static constexpr bool value = true;
};
}  // namespace slots

// Fails the build if the constexpr table leaves a required slot null.  GCC
// does not compare a function's address with null at compile time when
// AddressSanitizer instruments the unit: the sanitized build (.ci/sanitize)
// leaves the check to the others, which compile the same tables.
#if defined(__SANITIZE_ADDRESS__)
#define LATKEM_CHECK_BACKEND(table) static_assert(true, "checked by the unsanitized builds")
#else
#define LATKEM_CHECK_BACKEND(table)                                                               \
  static_assert(::latkem::native::slots::AllSet<                                                  \
                    ::latkem::native::slots::first_unset(table)>::value,                          \
                "backend table incomplete")
#endif

// The tables, each defined in its folder.  Only those the build compiles
// in may be referred to (dispatch.cpp, by the LATKEM_HAVE_* macros).
namespace portable {
extern const Backend kBackend;
}
namespace avx2 {
extern const Backend kBackend;
}
namespace neon {
extern const Backend kBackend;
extern const Backend kBackendSha3;
}
// The NEON backend's SHA-3 variant needs the intrinsics in a function of its
// own target: GCC gives them so; clang (up to 14 at least) only when the
// whole build targets processors with SHA-3.
#if defined(LATKEM_HAVE_NEON) && \
    ((defined(__GNUC__) && !defined(__clang__)) || defined(__ARM_FEATURE_SHA3))
#define LATKEM_HAVE_NEON_SHA3 1
#endif

// The backend in use: the first one of dispatch.cpp's list the processor
// can run, unless another was selected (select_backend(), LATKEM_PORTABLE).
// A single load once chosen; callers making many calls keep the reference.
namespace detail {
extern std::atomic<const Backend*> active_backend;
const Backend& choose_backend();
}  // namespace detail

inline const Backend& backend() {
  const Backend* b = detail::active_backend.load(std::memory_order_relaxed);
  return b != nullptr ? *b : detail::choose_backend();
}

// The backends this build has and this processor can run, fastest first,
// ending with the portable one; null-terminated.
const Backend* const* available_backends();

}  // namespace native
}  // namespace latkem

#endif  // LATKEM_NATIVE_BACKEND_H
