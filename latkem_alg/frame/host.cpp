// Host helpers the bodies share: small constructors and builtins, unpacking,
// the lookup of globals, the random draws, and the traceback entries.
#include "frame/module.h"

#include <frameobject.h>

#include <cstddef>
#include <cstdio>
#include <functional>
#include <new>
#include <unordered_map>
#ifdef LATKEM_FAULT_SITES
#include <cstdint>
#include <unordered_set>
#endif

namespace latkem {

// ---------------------------------------------------------------------------
// Small host helpers used by the bodies.

Obj num(long long v) { return Obj(PyLong_FromLongLong(v)); }
Obj text(const char* s) { return Obj(PyUnicode_FromString(s)); }
Obj none() { return Obj::borrow(Py_None); }

Obj to_int(const Obj& x) { return Obj(PyNumber_Long(x.get())); }
Obj to_int(const Obj& x, const Obj& base) {
  return Obj::borrow(reinterpret_cast<PyObject*>(&PyLong_Type))(x, base);
}
Obj to_bytes(const Obj& x) {
  return Obj::borrow(reinterpret_cast<PyObject*>(&PyBytes_Type))(x);
}
Obj byte_of(const Obj& x) { return to_bytes(list_of({x})); }
Obj to_list(const Obj& x) { return Obj(PySequence_List(x.get())); }
Obj to_str(const Obj& x) { return Obj(PyObject_Str(x.get())); }
Obj len(const Obj& x) {
  Py_ssize_t n = PyObject_Length(x.get());
  if (n < 0) raise();
  return Obj(PyLong_FromSsize_t(n));
}

Obj list_of(std::initializer_list<Obj> items) {
  Obj l(PyList_New(static_cast<Py_ssize_t>(items.size())));
  Py_ssize_t i = 0;
  for (const Obj& it : items) {
    Py_INCREF(it.get());
    PyList_SET_ITEM(l.get(), i++, it.get());
  }
  return l;
}

Obj tuple_of(std::initializer_list<Obj> items) {
  Obj t(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
  Py_ssize_t i = 0;
  for (const Obj& it : items) {
    Py_INCREF(it.get());
    PyTuple_SET_ITEM(t.get(), i++, it.get());
  }
  return t;
}

Obj repeat_list(const Obj& item, const Obj& count) {
  return Obj(PyNumber_Multiply(list_of({item}).get(), count.get()));
}

Obj slice_of(const Obj& start, const Obj& stop) {
  return Obj(PySlice_New(start ? start.get() : Py_None, stop ? stop.get() : Py_None, nullptr));
}

// obj[start:stop:step] as the module's compiled slicing does it: objects
// without a mapping subscript are "unsliceable".
Obj Obj::slice(const Obj& start, const Obj& stop, const Obj& step) const {
  PyMappingMethods* mp = Py_TYPE(p_)->tp_as_mapping;
  if (!mp || !mp->mp_subscript) {
    PyErr_Format(PyExc_TypeError, "'%.200s' object is unsliceable", Py_TYPE(p_)->tp_name);
    raise();
  }
  Obj s(PySlice_New(start ? start.get() : Py_None, stop ? stop.get() : Py_None,
                    step ? step.get() : Py_None));
  return Obj(mp->mp_subscript(p_, s.get()));
}

static void unpack_count_error(Py_ssize_t got) {
  if (got > 2)
    PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", (Py_ssize_t)2);
  else
    PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", got,
                 got == 1 ? "" : "s");
  raise();
}

void unpack2(const Obj& v, Obj& a, Obj& b) {
  PyObject* o = v.get();
  if (PyTuple_CheckExact(o) || PyList_CheckExact(o)) {
    Py_ssize_t size = PySequence_Fast_GET_SIZE(o);
    if (size != 2) unpack_count_error(size);
    PyObject** items = PySequence_Fast_ITEMS(o);
    Obj x = Obj::borrow(items[0]), y = Obj::borrow(items[1]);
    a = std::move(x);
    b = std::move(y);
    return;
  }
  Obj it(PyObject_GetIter(o));
  Obj got[2];
  for (Py_ssize_t i = 0; i < 2; ++i) {
    PyObject* x = PyIter_Next(it.get());
    if (!x) {
      if (PyErr_Occurred()) raise();
      unpack_count_error(i);
    }
    got[i] = Obj(x);
  }
  PyObject* extra = PyIter_Next(it.get());
  if (extra) {
    Py_DECREF(extra);
    unpack_count_error(3);
  }
  if (PyErr_Occurred()) raise();
  a = std::move(got[0]);
  b = std::move(got[1]);
}

Obj lookup_global(PyObject* name) {
  PyObject* v = PyDict_GetItemWithError(module_dict(), name);
  if (v) return Obj::borrow(v);
  if (PyErr_Occurred()) raise();
  v = PyObject_GetAttr(the_builtins, name);
  if (v) return Obj(v);
  if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
    PyErr_Clear();
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
  }
  raise();
}

Obj randbytes(const Obj& random_module, const Obj& count) {
  PyObject* fn = PyObject_GetAttr(random_module.get(), names.randbytes);
  if (fn) return Obj(fn)(count);
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) raise();
  // Hosts before 3.9 lack randbytes; it is defined as these very bytes.  An
  // object with neither method fails with the error about randbytes.
  interp::PendingError pending;
  pending.fetch();
  PyObject* bits_fn = PyObject_GetAttr(random_module.get(), names.getrandbits);
  if (!bits_fn && PyErr_ExceptionMatches(PyExc_AttributeError)) {
    PyErr_Clear();
    pending.restore();
    raise();
  }
  pending.drop();
  Obj bits = Obj(bits_fn)(count * num(8));
  return bits.method(names.to_bytes, count, Obj::borrow(names.little));
}


// ---------------------------------------------------------------------------
// Traceback entries.

namespace {

// Memory for the table below straight from operator new: the standard
// allocator's check of the count calls a part of the C++ runtime newer than
// the wheels may assume (README, "Wheels").
template <class T>
struct PlainAllocator {
  using value_type = T;
  PlainAllocator() = default;
  template <class U>
  PlainAllocator(const PlainAllocator<U>&) {}
  T* allocate(std::size_t n) {
    if (n > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_alloc();
    return static_cast<T*>(::operator new(n * sizeof(T)));
  }
  void deallocate(T* p, std::size_t) { ::operator delete(p); }
  template <class U>
  bool operator==(const PlainAllocator<U>&) const { return true; }
  template <class U>
  bool operator!=(const PlainAllocator<U>&) const { return false; }
};

// Code objects of traceback entries, by entry and line.  Kept outside the
// host's objects so that finding one runs no host comparison: near the
// recursion limit such a comparison would fail and the entry would go missing.
using CodeTable = std::unordered_map<long long, PyObject*, std::hash<long long>,
                                     std::equal_to<long long>,
                                     PlainAllocator<std::pair<const long long, PyObject*>>>;
CodeTable* tb_codes = nullptr;

#ifdef Py_GIL_DISABLED
// A free-threaded host whose lock was forced off despite the module's
// declaration: the table is the one state the host paths share.
PyMutex tb_codes_lock = {0};
struct TableLock {
  TableLock() { PyMutex_Lock(&tb_codes_lock); }
  ~TableLock() { PyMutex_Unlock(&tb_codes_lock); }
};
#else
struct TableLock {
  TableLock() {}
};
#endif

PyObject* entry_code(int entry, int line) {
  const long long key = (static_cast<long long>(entry) << 32) | static_cast<unsigned>(line);
  TableLock lock;
  try {
    if (!tb_codes) tb_codes = new CodeTable();
    auto it = tb_codes->find(key);
    if (it != tb_codes->end()) {
      Py_INCREF(it->second);
      return it->second;
    }
    char name[64];
    if (entry == kInitEntry)
      std::snprintf(name, sizeof name, "init %s", kModuleName);
    else
      std::snprintf(name, sizeof name, "%s.%s", kModuleName, kFunctions[entry].name);
    PyObject* code = reinterpret_cast<PyObject*>(PyCode_NewEmpty(kFileName, name, line));
    if (!code) return nullptr;
    Py_INCREF(code);
    (*tb_codes)[key] = code;
    return code;
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

}  // namespace

void add_traceback(int entry, int line) {
  interp::PendingError pending;
  pending.fetch();
  PyObject* code = entry_code(entry, line);
  PyFrameObject* frame = nullptr;
  PyObject* globals = module_dict();
  if (code && globals) {
    frame = PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code), globals,
                        nullptr);
  }
  PyErr_Clear();
  pending.restore();
  if (frame) PyTraceBack_Here(frame);
  Py_XDECREF(reinterpret_cast<PyObject*>(frame));
  Py_XDECREF(code);
}

// ---------------------------------------------------------------------------
// Fuzzing builds only: failures at chosen places.  A place is the code that
// made the host call (this function's return address and its caller's: the
// fuzzing build keeps frame pointers, and an operation may sit in a small
// helper such as num()).  Armed with k > 0, the k-th place the module's code
// reaches for the first time since arming fails, once; armed with k < 0,
// the first place reached that has never been made to fail.  The harness
// calls these through ctypes.PyDLL, with the lock held.

#ifdef LATKEM_FAULT_SITES
namespace fault {
namespace {
using Places = std::unordered_set<std::uintptr_t>;
long long target = 0;     // 0: disarmed
bool fired = false;
Places* seen = nullptr;    // reached since arming
Places* failed = nullptr;  // ever made to fail
}  // namespace

// The result of a host call, or NULL with MemoryError set if this is the
// place to fail.
__attribute__((noinline)) PyObject* pass(PyObject* result) noexcept {
  if (target == 0 || !result) return result;
  auto here = reinterpret_cast<std::uintptr_t>(__builtin_return_address(0)) * 31 +
              reinterpret_cast<std::uintptr_t>(__builtin_return_address(1));
  try {
    if (!seen->insert(here).second) return result;
    if (target > 0 ? static_cast<long long>(seen->size()) != target
                   : !failed->insert(here).second)
      return result;
  } catch (const std::bad_alloc&) {  // all the sets may throw
    return result;
  }
  target = 0;
  fired = true;
  Py_DECREF(result);
  return PyErr_NoMemory();
}
}  // namespace fault
#endif

}  // namespace latkem

#ifdef LATKEM_FAULT_SITES
// Arms (k != 0) or disarms (k = 0) the failure; returns the number of places
// reached since the last arming, negated if the failure then took place.
extern "C" __attribute__((visibility("default"))) long long latkem_fault_arm(long long k) {
  using namespace latkem::fault;
  if (!seen) seen = new (std::nothrow) Places();
  if (!failed) failed = new (std::nothrow) Places();
  if (!seen || !failed) return 0;
  long long reached = static_cast<long long>(seen->size());
  if (fired) reached = -reached;
  seen->clear();
  target = k;
  fired = false;
  return reached;
}
#endif
