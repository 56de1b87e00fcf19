// The native paths of the hash and XOF wrappers (host/hashing.cpp).
#include "bridge/bridge.h"
#include "bridge/paths.h"

#include <cstring>
#include <vector>

namespace latkem {
namespace bridge {

namespace {

// The host's lock is released for a sponge that takes in and gives out at
// least this many bytes together (some fifteen permutations, a few
// microseconds); below it, releasing and taking the lock again would cost
// more than other threads gain.  The inputs are bytes and str objects the
// caller holds, and the outputs objects nothing else refers to yet.
constexpr size_t kUnlockFrom = 2048;

template <class Work>
void unlocked_if_long(size_t bytes, Work&& work) {
  if (bytes >= kUnlockFrom)
    unlocked(work);
  else
    work();
}

}  // namespace

// H of hex text: the digest of the bytes it encodes, as hex bytes.
bool native_H(PyObject* data, Obj& result) {
  const char* text;
  Py_ssize_t size;
  if (!text_of(data, text, size) || size % 2) return false;
  // The text may be a message's: its bytes and its digest are secret then.
  std::vector<uint8_t> raw(static_cast<size_t>(size / 2) + 1);
  uint8_t digest[32];
  native::Wiped wipe_raw(raw.data(), raw.size()), wipe_digest(digest, sizeof digest);
  bool hex = false;
  unlocked_if_long(static_cast<size_t>(size), [&] {
    hex = native::hex_decode(raw.data(), text, static_cast<size_t>(size));
    if (hex) native::sha3_256(raw.data(), static_cast<size_t>(size / 2), digest);
  });
  if (!hex) return false;
  result = hex_bytes(digest, 32);
  return true;
}

bool native_G(PyObject* bytes32, Obj& result) {
  if (!PyBytes_CheckExact(bytes32)) return false;
  uint8_t digest[64];  // a pre-key and coins
  native::Wiped wipe_digest(digest, sizeof digest);
  const size_t size = static_cast<size_t>(PyBytes_GET_SIZE(bytes32));
  unlocked_if_long(size, [&] { native::sha3_512(bytes_data(bytes32), size, digest); });
  result = tuple_of({raw_bytes(digest, 32), raw_bytes(digest + 32, 32)});
  return true;
}

bool native_PRF(PyObject* ss, PyObject* bd, PyObject* eta, Obj& result) {
  long long eta_value;
  if (!PyBytes_CheckExact(ss) || !PyBytes_CheckExact(bd) ||
      !small_int(eta, 0, 1 << 16, eta_value))
    return false;
  const size_t size = 64 * static_cast<size_t>(eta_value);
  const size_t seed_len = static_cast<size_t>(PyBytes_GET_SIZE(ss)),
               nonce_len = static_cast<size_t>(PyBytes_GET_SIZE(bd));
  Obj text(PyUnicode_New(static_cast<Py_ssize_t>(2 * size), 127));
  char* chars = static_cast<char*>(PyUnicode_DATA(text.get()));
  std::vector<uint8_t> out(size + 1);  // a noise stream
  native::Wiped wipe_out(out.data(), out.size());
  unlocked_if_long(seed_len + nonce_len + size, [&] {
    {
      native::Shake256 xof;
      xof.absorb(bytes_data(ss), seed_len);
      xof.absorb(bytes_data(bd), nonce_len);
      xof.squeeze(out.data(), size);
    }
    native::wipe_stack(native::kPermutationStack);
    native::hex_encode(chars, out.data(), size);
  });
  result = text;
  return true;
}

bool native_XOF(PyObject* bytes32, PyObject* int_a, PyObject* int_b, Obj& result) {
  long long i, j;
  if (!PyBytes_CheckExact(bytes32) || PyBytes_GET_SIZE(bytes32) != 32 ||
      !small_int(int_a, 0, 255, i) || !small_int(int_b, 0, 255, j))
    return false;
  uint8_t seed[34];
  std::memcpy(seed, bytes_data(bytes32), 32);
  seed[32] = static_cast<uint8_t>(i);
  seed[33] = static_cast<uint8_t>(j);
  Obj out(PyBytes_FromStringAndSize(nullptr, 768));
  native::shake128(seed, 34, reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(out.get())), 768);
  result = out;
  return true;
}

bool native_kdf(PyObject* in_str, PyObject* length, Obj& result) {
  long long size;
  if (!PyBytes_CheckExact(in_str) || !small_int(length, 0, 1 << 24, size)) return false;
  Obj out(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
  const size_t in_len = static_cast<size_t>(PyBytes_GET_SIZE(in_str));
  uint8_t* data = reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(out.get()));
  unlocked_if_long(in_len + static_cast<size_t>(size), [&] {
    native::shake256(bytes_data(in_str), in_len, data, static_cast<size_t>(size));
  });
  result = out;
  return true;
}

}  // namespace bridge
}  // namespace latkem
