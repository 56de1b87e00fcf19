// Hash and XOF wrappers: SHA3-256, SHA3-512, SHAKE-128 and SHAKE-256 in the
// shapes the scheme passes around.
#include "guard/guard.h"

#include <cstring>
#include <vector>

namespace latkem {

namespace {

const uint8_t* bytes_data(PyObject* o) {
  return reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(o));
}

// The host's lock is released for a sponge that takes in and gives out at
// least this many bytes together (some fifteen permutations, a few
// microseconds); below it, releasing and taking the lock again would cost
// more than other threads gain.  The inputs are bytes and str objects the
// caller holds, and the outputs objects nothing else refers to yet.
constexpr size_t kUnlockFrom = 2048;

template <class Work>
void unlocked_if_long(size_t bytes, Work&& work) {
  if (bytes >= kUnlockFrom)
    fast::unlocked(work);
  else
    work();
}

// H of hex text: the digest of the bytes it encodes, as hex bytes.
bool native_H(PyObject* data, Obj& result) {
  const char* text;
  Py_ssize_t size;
  if (!fast::text_of(data, text, size) || size % 2) return false;
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
  result = fast::hex_bytes(digest, 32);
  return true;
}

bool native_G(PyObject* bytes32, Obj& result) {
  if (!PyBytes_CheckExact(bytes32)) return false;
  uint8_t digest[64];  // a pre-key and coins
  native::Wiped wipe_digest(digest, sizeof digest);
  const size_t size = static_cast<size_t>(PyBytes_GET_SIZE(bytes32));
  unlocked_if_long(size, [&] { native::sha3_512(bytes_data(bytes32), size, digest); });
  result = tuple_of({fast::raw_bytes(digest, 32), fast::raw_bytes(digest + 32, 32)});
  return true;
}

bool native_PRF(PyObject* ss, PyObject* bd, PyObject* eta, Obj& result) {
  long long eta_value;
  if (!PyBytes_CheckExact(ss) || !PyBytes_CheckExact(bd) ||
      !fast::small_int(eta, 0, 1 << 16, eta_value))
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
      !fast::small_int(int_a, 0, 255, i) || !fast::small_int(int_b, 0, 255, j))
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
  if (!PyBytes_CheckExact(in_str) || !fast::small_int(length, 0, 1 << 24, size)) return false;
  Obj out(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
  const size_t in_len = static_cast<size_t>(PyBytes_GET_SIZE(in_str));
  uint8_t* data = reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(out.get()));
  unlocked_if_long(in_len + static_cast<size_t>(size), [&] {
    native::shake256(bytes_data(in_str), in_len, data, static_cast<size_t>(size));
  });
  result = out;
  return true;
}

}  // namespace

Obj body_H(Frame& f, Obj* a) {
  Obj data = a[0];
  if (Obj r = f.try_native(native_H, data.get())) return r;
  f.line = line::H::unhex;
  data = GLOBAL(binascii).method(NAME(unhexlify), data);
  f.line = line::H::new_hash;
  Obj sha3 = GLOBAL(hashlib).method(NAME(sha3_256));
  f.line = line::H::update;
  sha3.method(NAME(update), data);
  f.line = line::H::hexdigest;
  Obj string = sha3.method(NAME(hexdigest));
  f.line = line::H::fromhex;
  Obj hex_string = Obj::borrow(reinterpret_cast<PyObject*>(&PyBytes_Type)).method(NAME(fromhex), string);
  f.line = line::H::hexlify_digest;
  return GLOBAL(binascii).method(NAME(hexlify), hex_string);
}

Obj body_G(Frame& f, Obj* a) {
  Obj bytes32 = a[0];
  if (Obj r = f.try_native(native_G, bytes32.get())) return r;
  f.line = line::G::digest;
  Obj output = GLOBAL(sha3_512)(bytes32).method(NAME(digest));
  f.line = line::G::split;
  Obj first = output.slice(Obj(), num(32), Obj());
  Obj second = output.slice(num(32), Obj(), Obj());
  return tuple_of({first, second});
}

Obj body_PRF(Frame& f, Obj* a) {
  Obj ss = a[0], bd = a[1], eta = a[2];
  if (Obj r = f.try_native(native_PRF, ss.get(), bd.get(), eta.get())) return r;
  f.line = line::PRF::bytes_seed;
  ss = to_bytes(ss);
  f.line = line::PRF::bytes_nonce;
  bd = to_bytes(bd);
  f.line = line::PRF::join;
  Obj data = ss + bd;
  f.line = line::PRF::shake;
  Obj hash_value = GLOBAL(hashlib).method(NAME(shake_256), data).method(NAME(digest), num(64) * eta);
  f.line = line::PRF::to_hex;
  return hash_value.method(NAME(hex));
}

Obj body_XOF(Frame& f, Obj* a) {
  Obj bytes32 = a[0], int_a = a[1], int_b = a[2];
  if (Obj r = f.try_native(native_XOF, bytes32.get(), int_a.get(), int_b.get())) return r;
  f.line = line::XOF::index_bytes;
  Obj first = byte_of(int_a);
  Obj second = byte_of(int_b);
  int_a = first;
  int_b = second;
  f.line = line::XOF::join;
  Obj input_bytes = bytes32 + int_a + int_b;
  f.line = line::XOF::check_length;
  Py_ssize_t size = PyObject_Length(input_bytes.get());
  if (size < 0) raise();
  if (size != 34) {
    f.line = line::XOF::raise_length;
    Obj exc = Obj::borrow(builtins.ValueError)(text("Length of input bytes should be equal to 32"));
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
    raise();
  }
  f.line = line::XOF::shake;
  return GLOBAL(shake_128)(input_bytes).method(NAME(digest), num(3) * GLOBAL(n));
}

Obj body_kdf(Frame& f, Obj* a) {
  Obj in_str = a[0], length = a[1];
  if (Obj r = f.try_native(native_kdf, in_str.get(), length.get())) return r;
  f.line = line::kdf::shake;
  return GLOBAL(shake_256)(in_str).method(NAME(digest), length);
}

}  // namespace latkem
