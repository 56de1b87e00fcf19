// What the module reads of the interpreter beyond its stable, documented
// interface: fields of the thread state and of dictionaries, raw item arrays,
// functions the host has renamed, deprecated or added between versions.
// Nothing outside this header (and interp_layout.c, which it declares) names
// such an internal, so a new host version is ported here and nowhere else.
//
// Each item says the versions it was checked on.  The host versions checked:
// 3.8.18, 3.9.18, 3.10.13, 3.11.7, 3.12.1, 3.13.0, 3.13.18, 3.14.10 (and
// its debug build) and 3.15.2, all on x86-64 Linux (3.13.18 by hand: its
// leak loop is not yet clean, see .ci/unstable).
//
// On a host newer than the last version checked (or with LATKEM_UNCHECKED_HOST
// defined, which the tests use to show this mode on a known version), the
// module compiles none of the internals below: every function takes its host
// path, which needs nothing but the documented interface, and the private
// attribute `_internals` of each function says so.  A free-threaded build is
// treated alike (see the README): the native paths rely on the host's lock.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <cstring>

// The newest minor version checked, as 0xMMmm.
#define LATKEM_LAST_CHECKED 0x030F

#if !defined(LATKEM_UNCHECKED_HOST) && ((PY_VERSION_HEX >> 16) > LATKEM_LAST_CHECKED)
#define LATKEM_UNCHECKED_HOST 1
#endif
#if defined(LATKEM_UNCHECKED_HOST) || defined(Py_GIL_DISABLED)
#define LATKEM_HOST_ONLY 1
#endif

// Before 3.9 the vectorcall entry had a private name (checked on 3.8).
#if PY_VERSION_HEX < 0x03090000
#define PyObject_Vectorcall _PyObject_Vectorcall
#endif

extern "C" {
// From interp_layout.c: where the soft stack limit sits in the hidden part of
// the thread state, read from the host's own internal headers (3.14 and
// 3.15); 0 elsewhere.
extern const size_t latkem_stack_soft_limit_offset;
}

namespace latkem {
namespace interp {

// What `_internals` reports.
inline const char* mode() {
#if defined(LATKEM_UNCHECKED_HOST)
  return "unchecked: host paths only";
#elif defined(Py_GIL_DISABLED)
  return "free-threaded build: host paths only";
#else
  return "checked";
#endif
}

// How many recursion checks the host makes on its way into one of the
// module's functions: twice before 3.9, where it reaches the entry through
// its generic call slot (3.8), once since (3.9 to 3.15).
#if PY_VERSION_HEX < 0x03090000
constexpr int kChecksPerModuleCall = 2;
#else
constexpr int kChecksPerModuleCall = 1;
#endif

#if PY_VERSION_HEX < 0x03090000
// Before 3.9 the host sends dictionary calls straight to the vectorcall
// entry without checking the keys, so those calls go through tp_call (3.8);
// the flag is used from 3.9 (3.9 to 3.15).
#define LATKEM_TPFLAGS_VECTORCALL 0
#else
#define LATKEM_TPFLAGS_VECTORCALL Py_TPFLAGS_HAVE_VECTORCALL
#endif

// A static type object's reference count (all versions; an assignment
// before 3.9).
inline void set_static_refcount(PyTypeObject* t) {
#if PY_VERSION_HEX < 0x03090000
  Py_REFCNT(t) = 1;
#else
  Py_SET_REFCNT(t, 1);
#endif
}

// The interpreter's number (its own field before 3.9).
inline int64_t interpreter_id() {
#if PY_VERSION_HEX >= 0x03090000
  return PyInterpreterState_GetID(PyInterpreterState_Get());
#else
  return PyInterpreterState_GetID(PyThreadState_Get()->interp);
#endif
}

// The pending exception taken out and put back (the triple before 3.12,
// deprecated since; the single object from 3.12).
struct PendingError {
#if PY_VERSION_HEX >= 0x030C0000
  PyObject* exc = nullptr;
  void fetch() { exc = PyErr_GetRaisedException(); }
  void restore() {
    PyErr_SetRaisedException(exc);
    exc = nullptr;
  }
  void drop() { Py_CLEAR(exc); }
#else
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* tb = nullptr;
  void fetch() { PyErr_Fetch(&type, &value, &tb); }
  void restore() {
    PyErr_Restore(type, value, tb);
    type = value = tb = nullptr;
  }
  void drop() {
    Py_CLEAR(type);
    Py_CLEAR(value);
    Py_CLEAR(tb);
  }
#endif
};

// A str made ready for PyUnicode_DATA (needed before 3.12, a no-op since).
inline bool unicode_ready(PyObject* s) {
#if PY_VERSION_HEX < 0x030C0000
  return PyUnicode_READY(s) == 0;
#else
  (void)s;
  return true;
#endif
}

// The running thread's state, or NULL (3.8 to 3.15; from 3.13 through the
// documented PyThreadState_GetUnchecked, which an unchecked host has too).
// Up to 3.11 it is the state that holds the host's lock, whichever thread
// that is; from 3.12 the calling thread's own, NULL while it does not hold
// the lock.
inline PyThreadState* thread_state() {
#if PY_VERSION_HEX >= 0x030D0000
  return PyThreadState_GetUnchecked();
#else
  return _PyThreadState_UncheckedGet();
#endif
}

// ---------------------------------------------------------------------------
// Whether the running thread holds the host's lock (all builds).
//
// Up to 3.13, a thread that asks for the lock back while another thread
// finalizes the interpreter is ended where it asks (pthread_exit), with its
// stack unwound: the destructors of the module's frames on it then run
// without the lock, while the finalizing thread goes on freeing objects
// (from 3.14 such a thread waits for ever instead).  The handle asks this
// before it drops a reference.
#if PY_VERSION_HEX >= 0x030C0000
// The thread's own state is NULL while it waits for the lock and when it is
// ended there (3.12 to 3.15).
struct Entered {
  Entered() {}
};
inline bool holds_lock() { return thread_state() != nullptr; }
#else
// Threads are ended only once the interpreter has begun to finalize, which
// it never undoes (3.8 to 3.11).  From then on, the state holding the lock is
// compared with the state the thread had when the host called into the
// module.  Every handle lives within such a call (a function's entry, the
// module's execution), which marks it with an `Entered` for its duration;
// outside one the lock is taken as held.
inline thread_local PyThreadState* entered_state = nullptr;
struct Entered {
  PyThreadState* const outer = entered_state;
  Entered() { entered_state = thread_state(); }
  ~Entered() { entered_state = outer; }
  Entered(const Entered&) = delete;
  Entered& operator=(const Entered&) = delete;
};
inline bool holds_lock() {
  if (!_Py_IsFinalizing()) return true;
  PyThreadState* const own = entered_state;
  return !own || thread_state() == own;
}
#endif

#ifndef LATKEM_HOST_ONLY

// ---------------------------------------------------------------------------
// The guard's reads (guard.cpp).  None is compiled on an unchecked host.

// A builtin function's C name and the module it belongs to, or NULLs
// (PyCFunctionObject's fields, 3.8 to 3.15).
inline const char* builtin_name(PyObject* obj, PyObject** self) {
  if (!obj || !PyCFunction_Check(obj)) return nullptr;
  PyCFunctionObject* f = reinterpret_cast<PyCFunctionObject*>(obj);
  *self = f->m_self;
  return f->m_ml->ml_name;
}

// Whether a list holds exactly the items of a tuple, as one block compare of
// the two item arrays (ob_item of both, 3.8 to 3.15).
inline bool same_items(PyObject* list, PyObject* tuple) {
  const Py_ssize_t count = PyTuple_GET_SIZE(tuple);
  if (PyList_GET_SIZE(list) != count) return false;
  PyObject* const* now = reinterpret_cast<PyListObject*>(list)->ob_item;
  PyObject* const* then = reinterpret_cast<PyTupleObject*>(tuple)->ob_item;
  return count == 0 || std::memcmp(now, then, sizeof(PyObject*) * size_t(count)) == 0;
}

// Changes of a dictionary: its version tag before 3.12 (3.8 to 3.11), a
// watcher from 3.12 on (3.12 to 3.15).
#if PY_VERSION_HEX >= 0x030C0000
#define LATKEM_DICT_WATCHERS 1
#else
inline uint64_t dict_version(PyObject* d) {
  return reinterpret_cast<PyDictObject*>(d)->ma_version_tag;
}
#endif

// Recursion.  How the host decides that a nested call is one too many, and
// so whether `checks` more nested checks, made within `stack` bytes below
// the caller's frame, would all pass on this thread.
//
// - 3.8 to 3.10: one counter of nested checks against the limit; a thread
//   already past it and handling that (`overflowed`, 3.8 and 3.9) is allowed
//   50 more.
// - 3.11: one counter of what is left, counting Python and C calls.
// - 3.12 and 3.13: C calls have their own counter (`c_recursion_remaining`).
// - 3.14 and 3.15: C calls are checked against the machine stack instead: a
//   check fails when the stack pointer is below the thread's soft limit and
//   within two margins of it (below that the host assumes its limits are
//   wrong for this stack and checks nothing).  The Python-level counter
//   counts Python frames only, which a body pushes only through Python code
//   that both paths call alike and at the same Python depth (the draws of
//   CCA_KeyGen, a print to a stream written in Python).
#if PY_VERSION_HEX >= 0x030E0000
#define LATKEM_STACK_RULE 1
// The host's margin: 2^11 words, 2^12 in debug builds (3.14 and 3.15).
#ifdef Py_DEBUG
constexpr uintptr_t kStackMargin = uintptr_t(1) << 12 << (sizeof(void*) == 8 ? 3 : 2);
#else
constexpr uintptr_t kStackMargin = uintptr_t(1) << 11 << (sizeof(void*) == 8 ? 3 : 2);
#endif

inline uintptr_t stack_here() {
#if defined(__GNUC__) || defined(__clang__)
  return reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
#else
  volatile char here = 0;
  return reinterpret_cast<uintptr_t>(&here);
#endif
}
#endif

inline bool recursion_room(int checks, uintptr_t stack) {
  PyThreadState* ts = thread_state();
  if (!ts) return false;
#if defined(LATKEM_STACK_RULE)
  (void)checks;
  if (latkem_stack_soft_limit_offset == 0) return false;
  const char* impl = reinterpret_cast<const char*>(ts);
  uintptr_t soft;
  std::memcpy(&soft, impl + latkem_stack_soft_limit_offset, sizeof soft);
  const uintptr_t here = stack_here();
  // Checks at or above the soft limit all pass; so do all checks far below
  // it, where the host does not check at all (a stack it does not know).
  if (here >= soft) return here - soft >= stack;
  return soft - here > 2 * kStackMargin;
#else
  (void)stack;
#if PY_VERSION_HEX >= 0x030C0000
  return ts->c_recursion_remaining >= checks;
#elif PY_VERSION_HEX >= 0x030B0000
  return ts->recursion_remaining >= checks;
#else
#if PY_VERSION_HEX < 0x030A0000
  if (ts->overflowed) return true;
#endif
  return ts->recursion_depth + checks <= Py_GetRecursionLimit();
#endif
#endif
}

#endif  // LATKEM_HOST_ONLY

}  // namespace interp
}  // namespace latkem
