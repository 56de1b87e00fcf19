// Shared types of the Latkem module.
//
// Every function of the module has a host path: its body written statement by
// statement on host objects through `Obj`, a small owning handle over a
// PyObject* whose operators are the host's own.  A failing host operation
// throws `HostError`, which carries nothing: the host's error indicator already
// holds the exception.  The function's entry (module.cpp) catches it, adds the
// traceback entry for the line that was running and returns NULL to the host.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <initializer_list>
#include <utility>

#include "native/core.h"

#if PY_VERSION_HEX < 0x03090000
#define PyObject_Vectorcall _PyObject_Vectorcall
#endif

namespace latkem {

// The host's error indicator is set; unwind to the function's entry.
struct HostError {};

[[noreturn]] inline void raise() { throw HostError(); }

// Owning reference to a host object.
class Obj {
 public:
  Obj() noexcept : p_(nullptr) {}
  // Takes over a new reference; a NULL result of a host call means an error.
  explicit Obj(PyObject* fresh) : p_(fresh) {
    if (!p_) raise();
  }
  static Obj borrow(PyObject* o) {
    if (!o) raise();
    Py_INCREF(o);
    Obj r;
    r.p_ = o;
    return r;
  }
  Obj(const Obj& o) noexcept : p_(o.p_) { Py_XINCREF(p_); }
  Obj(Obj&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
  Obj& operator=(Obj o) noexcept {
    std::swap(p_, o.p_);
    return *this;
  }
  ~Obj() { Py_XDECREF(p_); }

  PyObject* get() const noexcept { return p_; }
  PyObject* release() noexcept {
    PyObject* r = p_;
    p_ = nullptr;
    return r;
  }
  explicit operator bool() const noexcept { return p_ != nullptr; }

  // Host arithmetic.
  Obj operator+(const Obj& b) const { return Obj(PyNumber_Add(p_, b.p_)); }
  Obj operator-(const Obj& b) const { return Obj(PyNumber_Subtract(p_, b.p_)); }
  Obj operator*(const Obj& b) const { return Obj(PyNumber_Multiply(p_, b.p_)); }
  Obj operator%(const Obj& b) const { return Obj(PyNumber_Remainder(p_, b.p_)); }
  Obj operator/(const Obj& b) const { return Obj(PyNumber_TrueDivide(p_, b.p_)); }
  Obj operator>>(const Obj& b) const { return Obj(PyNumber_Rshift(p_, b.p_)); }
  Obj operator<<(const Obj& b) const { return Obj(PyNumber_Lshift(p_, b.p_)); }
  Obj operator&(const Obj& b) const { return Obj(PyNumber_And(p_, b.p_)); }
  Obj operator-() const { return Obj(PyNumber_Negative(p_)); }
  Obj floordiv(const Obj& b) const { return Obj(PyNumber_FloorDivide(p_, b.p_)); }
  Obj pow(const Obj& b) const { return Obj(PyNumber_Power(p_, b.p_, Py_None)); }
  Obj iadd(const Obj& b) const { return Obj(PyNumber_InPlaceAdd(p_, b.p_)); }

  // Host comparisons, reduced to a truth value as an `if` does.
  bool cmp(const Obj& b, int op) const {
    Obj r(PyObject_RichCompare(p_, b.p_, op));
    int t = PyObject_IsTrue(r.get());
    if (t < 0) raise();
    return t != 0;
  }
  bool operator<(const Obj& b) const { return cmp(b, Py_LT); }
  bool operator<=(const Obj& b) const { return cmp(b, Py_LE); }
  bool operator>(const Obj& b) const { return cmp(b, Py_GT); }
  bool operator>=(const Obj& b) const { return cmp(b, Py_GE); }
  bool eq(const Obj& b) const { return cmp(b, Py_EQ); }
  bool ne(const Obj& b) const { return cmp(b, Py_NE); }

  // Subscription.
  Obj operator[](const Obj& key) const { return Obj(PyObject_GetItem(p_, key.p_)); }
  Obj operator[](Py_ssize_t i) const;
  void set(const Obj& key, const Obj& value) const {
    if (PyObject_SetItem(p_, key.p_, value.p_) < 0) raise();
  }
  void set(Py_ssize_t i, const Obj& value) const;
  // obj[start:stop:step]; None for an absent bound.
  Obj slice(const Obj& start, const Obj& stop, const Obj& step) const;

  Obj attr(PyObject* name) const { return Obj(PyObject_GetAttr(p_, name)); }

  template <class... A>
  Obj operator()(const A&... args) const {
    PyObject* argv[] = {nullptr, args.get()...};
    return Obj(PyObject_Vectorcall(p_, argv + 1, sizeof...(A) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                   nullptr));
  }
  // obj.name(args...)
  template <class... A>
  Obj method(PyObject* name, const A&... args) const {
    return attr(name)(args...);
  }

 private:
  PyObject* p_;
};

Obj num(long v);           // a host int
Obj text(const char* s);   // a host str (UTF-8 source text)
Obj none();

// Builtins that stand for host functions the bodies call directly.
Obj to_int(const Obj& x);                     // int(x)
Obj to_int(const Obj& x, const Obj& base);    // int(x, base)
Obj to_bytes(const Obj& x);                   // bytes(x)
Obj byte_of(const Obj& x);                    // bytes([x])
Obj to_list(const Obj& x);                    // list(x)
Obj to_str(const Obj& x);                     // str(x)
Obj len(const Obj& x);                        // len(x), as a host int
Obj list_of(std::initializer_list<Obj> items);  // [a, b, ...]
Obj tuple_of(std::initializer_list<Obj> items); // (a, b, ...)
Obj repeat_list(const Obj& item, const Obj& count);  // [item] * count
// slice(start, stop); an empty Obj stands for None.
Obj slice_of(const Obj& start, const Obj& stop);
// Unpacks an iterable into exactly two values.
void unpack2(const Obj& v, Obj& a, Obj& b);

// Iterates `range(start, stop)` as the host does: the fixed builtin `range`
// is called unless both ends are plain ints, when the loop runs in C.
// `body` receives each value as a host int.  Returns false when the loop ran
// no iteration.
template <class F>
bool for_range(const Obj& start, const Obj& stop, F&& body);

// The builtins fixed at initialisation.
struct Builtins {
  PyObject* print = nullptr;
  PyObject* round = nullptr;
  PyObject* range = nullptr;
  PyObject* ValueError = nullptr;
  PyObject* format = nullptr;
};
extern Builtins builtins;

// Interned names: every global and attribute the bodies use.
#define LATKEM_NAMES(X)                                                                   \
  X(math) X(random) X(binascii) X(np) X(numpy) X(hashlib) X(sha3_256) X(sha3_512)          \
  X(shake_128) X(shake_256) X(q) X(n) X(k) X(eta1) X(eta2) X(kk) X(bar_k) X(bar_r) X(ted) \
  X(du) X(dv) X(tree) X(mont) X(mont_inv) X(zetas) X(zetas_inv) X(compress)               \
  X(decompress) X(CBD) X(PRF) X(H) X(mont_red) X(mont_mul) X(barrett_red) X(ntt3_mul)      \
  X(ntt3_mul0) X(ntt3) X(intt3) X(Genkey) X(Enc) X(Dec) X(XOF) X(generate_mat_a) X(G)      \
  X(Parse) X(encode) X(decode) X(hex_to_bits) X(bits_to_bytes) X(kdf) X(CCA_KeyGen)       \
  X(CCA_Enc) X(CCA_Dec) X(randbytes) X(getrandbits) X(to_bytes) X(hexlify) X(unhexlify)   \
  X(update) X(hexdigest) X(digest) X(fromhex) X(hex) X(zeros) X(sqrt) X(gcd) X(sys)       \
  X(join) X(extend) X(cca_pk1) X(cca_sk1) X(new_m) X(Cipher) X(scr_key) X(new_k)          \
  X(__name__) X(__main__) X(__builtins__) X(little) X(modules) X(Latkem)

struct Names {
#define LATKEM_NAME_FIELD(nm) PyObject* nm = nullptr;
  LATKEM_NAMES(LATKEM_NAME_FIELD)
#undef LATKEM_NAME_FIELD
};
extern Names names;

// Looks a global up at the time of use: module dictionary, then builtins;
// NameError "name '%U' is not defined" when both lack it.
Obj lookup_global(PyObject* name);
#define GLOBAL(nm) ::latkem::lookup_global(::latkem::names.nm)
#define NAME(nm) (::latkem::names.nm)

// The running statement of a body, for the traceback entry, and whether the
// function may take its native path (see `fast` below).
struct Frame {
  int line;
  bool native;
  bool went_native = false;  // the result came from the native path
  Obj from_native(Obj result) {
    went_native = true;
    return result;
  }
};

// A body receives its bound arguments (owned copies it may rebind).
using Body = Obj (*)(Frame& f, Obj* args);

struct FuncSpec {
  const char* name;
  int first_line;
  std::initializer_list<const char*> params;
  std::initializer_list<const char*> locals;
  Body body;
};

// The 27 module functions, in the order the module binds them.
#define LATKEM_FUNCTIONS(X)                                                          \
  X(compress) X(decompress) X(CBD) X(PRF) X(H) X(mont_red) X(mont_mul) X(barrett_red) \
  X(ntt3_mul) X(ntt3_mul0) X(ntt3) X(intt3) X(Genkey) X(Enc) X(Dec) X(XOF)            \
  X(generate_mat_a) X(G) X(Parse) X(encode) X(decode) X(hex_to_bits) X(bits_to_bytes) \
  X(kdf) X(CCA_KeyGen) X(CCA_Enc) X(CCA_Dec)

// Module dictionary and the module object, set at initialisation.
PyObject* module_dict();

#define LATKEM_FN_ID(nm) nm,
enum class Fn : int { LATKEM_FUNCTIONS(LATKEM_FN_ID) count };
#undef LATKEM_FN_ID

// The native path.  A body may compute its result with the typed core in
// native/ instead of statement by statement on host objects only when the
// result is provably the same: every global the function relies on, directly
// or through the functions it calls, still holds its initial object or value,
// the builtins it calls are the host's own, and its inputs are well formed.
// Anything else runs the host path, which raises the exact errors.
namespace fast {
// The globals behind `fn` are as the module bound them.  Cheap: the answer
// is cached against the watched dictionaries and revalidated on change.
bool intact(Fn fn);
// The current kk, eta1, eta2, du and dv, when the native core supports them.
bool params(native::Params& p);
// Records the initial globals; run once the module body has bound them.
void snapshot();

// Hex text held by an exact bytes object or an exact ASCII str.
inline bool text_of(PyObject* o, const char*& data, Py_ssize_t& size) {
  if (PyBytes_CheckExact(o)) {
    data = PyBytes_AS_STRING(o);
    size = PyBytes_GET_SIZE(o);
    return true;
  }
  if (PyUnicode_CheckExact(o) && PyUnicode_IS_ASCII(o)) {
    data = static_cast<const char*>(PyUnicode_DATA(o));
    size = PyUnicode_GET_LENGTH(o);
    return true;
  }
  return false;
}

// The bytes that hex text of exactly `size` bytes encodes, or false.
inline bool unhex(PyObject* o, uint8_t* out, size_t size) {
  const char* data;
  Py_ssize_t len;
  return text_of(o, data, len) && static_cast<size_t>(len) == 2 * size &&
         native::hex_decode(out, data, static_cast<size_t>(len));
}

// An exact int within [lo, hi].
inline bool small_int(PyObject* o, long lo, long hi, long& out) {
  if (!PyLong_CheckExact(o)) return false;
  int overflow = 0;
  out = PyLong_AsLongAndOverflow(o, &overflow);
  if (overflow || (out == -1 && PyErr_Occurred())) {
    PyErr_Clear();
    return false;
  }
  return out >= lo && out <= hi;
}

// bytes of lower-case hex digits.
inline Obj hex_bytes(const uint8_t* data, size_t size) {
  Obj r(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(2 * size)));
  native::hex_encode(PyBytes_AS_STRING(r.get()), data, size);
  return r;
}

// str of lower-case hex digits.
inline Obj hex_str(const uint8_t* data, size_t size) {
  Obj r(PyUnicode_New(static_cast<Py_ssize_t>(2 * size), 127));
  native::hex_encode(static_cast<char*>(PyUnicode_DATA(r.get())), data, size);
  return r;
}

using native::hex_digit;
using native::in_range_mask;
using native::value_barrier;

inline Obj raw_bytes(const uint8_t* data, size_t size) {
  return Obj(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data),
                                       static_cast<Py_ssize_t>(size)));
}
}  // namespace fast

// Bodies, one per module function, in the units named after their subsystem.
#define LATKEM_DECLARE_BODY(nm) Obj body_##nm(Frame& f, Obj* a);
LATKEM_FUNCTIONS(LATKEM_DECLARE_BODY)
#undef LATKEM_DECLARE_BODY

// `random.randbytes(n)`, or on hosts whose `random` lacks it the same bytes
// through `getrandbits(8 * n).to_bytes(n, "little")`.
Obj randbytes(const Obj& random_module, const Obj& count);

// ---------------------------------------------------------------------------

inline Obj Obj::operator[](Py_ssize_t i) const {
  if (PyList_CheckExact(p_) && i >= 0 && i < PyList_GET_SIZE(p_))
    return borrow(PyList_GET_ITEM(p_, i));
  if (PyTuple_CheckExact(p_) && i >= 0 && i < PyTuple_GET_SIZE(p_))
    return borrow(PyTuple_GET_ITEM(p_, i));
  Obj key(PyLong_FromSsize_t(i));
  return (*this)[key];
}

inline void Obj::set(Py_ssize_t i, const Obj& value) const {
  Obj key(PyLong_FromSsize_t(i));
  set(key, value);
}

template <class F>
bool for_range(const Obj& start, const Obj& stop, F&& body) {
  bool ran = false;
  if (PyLong_CheckExact(start.get()) && PyLong_CheckExact(stop.get()) &&
      reinterpret_cast<PyObject*>(&PyRange_Type) == builtins.range) {
    int of1 = 0, of2 = 0;
    long long a = PyLong_AsLongLongAndOverflow(start.get(), &of1);
    long long b = PyLong_AsLongLongAndOverflow(stop.get(), &of2);
    if (!of1 && !of2) {
      for (long long i = a; i < b; ++i) {
        ran = true;
        body(Obj(PyLong_FromLongLong(i)));
      }
      return ran;
    }
  }
  Obj r = Obj::borrow(builtins.range)(start, stop);
  Obj it(PyObject_GetIter(r.get()));
  for (;;) {
    PyObject* v = PyIter_Next(it.get());
    if (!v) {
      if (PyErr_Occurred()) raise();
      return ran;
    }
    ran = true;
    body(Obj(v));
  }
}

}  // namespace latkem
