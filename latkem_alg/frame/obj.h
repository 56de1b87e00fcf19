// The handle through which the host paths work on host objects.
//
// Every function of the module has a host path: its body written statement by
// statement on host objects through `Obj`, a small owning handle over a
// PyObject* whose operators are the host's own.  A failing host operation
// throws `HostError`, which carries nothing: the host's error indicator already
// holds the exception.  The function's entry (function.cpp) catches it, adds
// the traceback entry for the line that was running and returns NULL to the
// host.
#pragma once

#include "frame/interp.h"

#include <cstdint>
#include <initializer_list>
#include <utility>

#if defined(__GLIBCXX__)
#include <cxxabi.h>
#endif


namespace latkem {

// The host's error indicator is set; unwind to the function's entry.
struct HostError {};

[[noreturn]] inline void raise() { throw HostError(); }

// A thread that the host ends (up to 3.13, one that asks for the lock back
// while another thread finalizes the interpreter) leaves through
// pthread_exit, which unwinds its stack with an exception of its own.  That
// one must go on: every `catch (...)` of the module is preceded by this
// clause, which throws it again.
#if defined(__GLIBCXX__)
#define LATKEM_LET_THREAD_END catch (abi::__forced_unwind&) { throw; }
#else
#define LATKEM_LET_THREAD_END
#endif

#ifdef LATKEM_FAULT_SITES
// Fuzzing builds only (fuzz/build_module.sh): a host operation that succeeded
// is made to fail with MemoryError at the chosen place, so that the fuzzer
// reaches the unwinding after every operation of a body.  A call, not a
// branch, at each place, so the build has no more edges to cover than any
// other.  See host.cpp.
namespace fault {
PyObject* pass(PyObject* result) noexcept;
}
#define LATKEM_FAULT_PASS(result) ::latkem::fault::pass(result)
#else
#define LATKEM_FAULT_PASS(result) (result)
#endif

// Owning reference to a host object.
class Obj {
 public:
  Obj() noexcept : p_(nullptr) {}
  // Takes over a new reference; a NULL result of a host call means an error.
  explicit Obj(PyObject* fresh) : p_(LATKEM_FAULT_PASS(fresh)) {
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
  // A thread being ended (see LATKEM_LET_THREAD_END) comes here without the
  // host's lock, while the finalizing thread frees objects: it leaves its
  // references as they are, as the host leaves those of the C frames of a
  // thread it ends.
  ~Obj() {
    if (p_ && interp::holds_lock()) Py_DECREF(p_);
  }

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

Obj num(long long v);      // a host int
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

// Stores the ints values[0..count) at positions 0..count-1 of a new list.
template <class Int>
void put_ints(PyObject* list, const Int* values, Py_ssize_t count) {
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* item = PyLong_FromLongLong(values[i]);
    if (!item) raise();
    PyList_SET_ITEM(list, i, item);
  }
}

// A new list of the ints values[0..count).
template <class Int>
Obj int_list(const Int* values, Py_ssize_t count) {
  Obj list(PyList_New(count));
  put_ints(list.get(), values, count);
  return list;
}
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
