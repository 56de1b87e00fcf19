// Bridge helpers of the native paths: reading host objects the native core
// can take as they are, and making the host objects it answers with.
#pragma once

#include "frame/latkem.h"
#include "guard/guard.h"
#include "native/core.h"

#include <cstdlib>
#include <memory>
#include <new>
#include <vector>

namespace latkem {
namespace bridge {

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

// An argument as a peer may send it: hex text (or a message) in any of the
// containers the host's binascii takes.  bytes and str are immutable and the
// caller holds them, so they are read in place; a bytearray or memoryview is
// copied, so that nothing the core reads can change under it.
class Input {
 public:
  enum Kind {
    kOther,     // anything else: the host path takes it
    kBytes,     // exact bytes
    kStr,       // exact str of ASCII characters
    kWideStr,   // exact str with a character beyond ASCII
    kBuffer,    // exact bytearray, or a memoryview the host reads as bytes
  };

  explicit Input(PyObject* o) {
    if (PyBytes_CheckExact(o)) {
      set(kBytes, PyBytes_AS_STRING(o), PyBytes_GET_SIZE(o));
    } else if (PyUnicode_CheckExact(o)) {
      if (PyUnicode_IS_ASCII(o))
        set(kStr, static_cast<const char*>(PyUnicode_DATA(o)), PyUnicode_GET_LENGTH(o));
      else
        kind_ = kWideStr;
    } else if (PyByteArray_CheckExact(o) || PyMemoryView_Check(o)) {
      Py_buffer view;
      if (PyObject_GetBuffer(o, &view, PyBUF_SIMPLE) < 0) {
        PyErr_Clear();  // the host path meets the same refusal
        return;
      }
      const char* data = static_cast<const char*>(view.buf);
      try {
        copy_.assign(data, data + view.len);
      } catch (const std::bad_alloc&) {
        PyBuffer_Release(&view);
        return;  // the host path answers, with its own MemoryError if any
      }
      PyBuffer_Release(&view);
      set(kBuffer, copy_.data(), static_cast<Py_ssize_t>(copy_.size()));
    }
  }

  ~Input() { native::secure_wipe(copy_.data(), copy_.size()); }  // a message is a secret
  Input(const Input&) = delete;
  Input& operator=(const Input&) = delete;

  Kind kind() const { return kind_; }
  // Whether the host's binascii reads it (kWideStr makes it raise).
  bool readable() const { return kind_ != kOther && kind_ != kWideStr; }
  const char* data() const { return data_; }
  size_t size() const { return size_; }
  const uint8_t* bytes() const { return reinterpret_cast<const uint8_t*>(data_); }

  // The argument `o` as it was read, for a failing statement to hand to the
  // callee that refuses it, so that the callee sees what the native path
  // decided on: `o` itself unless it was copied (nothing can change a bytes
  // or str object, and the host refuses the others it is given whatever
  // they hold), else a bytes object of the copy.
  Obj as_read(PyObject* o) const {
    if (kind_ != kBuffer) return Obj::borrow(o);
    return Obj(PyBytes_FromStringAndSize(data_, static_cast<Py_ssize_t>(size_)));
  }

 private:
  void set(Kind k, const char* d, Py_ssize_t n) {
    kind_ = k;
    data_ = d;
    size_ = static_cast<size_t>(n);
  }
  Kind kind_ = kOther;
  const char* data_ = "";
  size_t size_ = 0;
  std::vector<char> copy_;
};

// Whether the host's binascii surely refuses an argument that Input does not
// read, raising without running any code of the caller's: then the native
// path may hand the argument to binascii itself for the exact error.  As hex
// text (unhexlify): a str with a character beyond ASCII, a memoryview whose
// bytes cannot be had as they are, or an object that is neither a str nor a
// buffer.  As bytes (hexlify): any str, such a memoryview, or an object
// without a buffer.  Subclasses and other buffers are not judged here.
inline bool refused_as_text(const Input& in, PyObject* o) {
  if (in.kind() == Input::kWideStr) return true;
  if (in.kind() != Input::kOther) return false;
  return PyMemoryView_Check(o) || (!PyUnicode_Check(o) && !PyObject_CheckBuffer(o));
}

inline bool refused_as_bytes(const Input& in, PyObject* o) {
  switch (in.kind()) {
    case Input::kStr:
    case Input::kWideStr: return true;
    case Input::kOther: return PyMemoryView_Check(o) || !PyObject_CheckBuffer(o);
    default: return false;
  }
}

// Whether hexlify reads the argument as Input holds it.
inline bool bytes_like(const Input& in) {
  return in.kind() == Input::kBytes || in.kind() == Input::kBuffer;
}

// The bytes that hex text read by Input encodes, in a buffer of their own that
// is wiped when it goes (the text may be a key or coins).  decode() touches no
// host object, so it may run with the host's lock released.  Texts up to the
// module's own sizes decode into the object itself, which spares the call a
// heap allocation and its release under the host's lock; a longer one into
// memory of its own.
class Unhexed {
 public:
  // Without memory for the bytes, decode() answers false: the statement the
  // native path then runs as failing does not fail, and the host path answers.
  explicit Unhexed(const Input& in)
      : in_(in),
        size_(in.size() / 2 + 1),
        heap_(size_ <= kInPlace ? nullptr : static_cast<uint8_t*>(std::malloc(size_))),
        buf_(size_ <= kInPlace ? in_place_ : heap_.get()) {}
  ~Unhexed() {
    if (buf_) native::secure_wipe(buf_, size_);
  }
  Unhexed(const Unhexed&) = delete;
  Unhexed& operator=(const Unhexed&) = delete;

  // Whether the text is hex of even length (what unhexlify accepts).
  bool decode() {
    ok_ = buf_ && in_.readable() && native::hex_decode(buf_, in_.data(), in_.size());
    return ok_;
  }
  bool ok() const { return ok_; }
  const uint8_t* data() const { return buf_; }
  size_t size() const { return in_.size() / 2; }

 private:
  // The longest key or ciphertext of the module, and the terminator's byte.
  static constexpr size_t kInPlace = native::kMaxCtBytes + 1;
  static_assert(kInPlace > native::kMaxPkBytes, "a public key fits");
  const Input& in_;
  const size_t size_;
  struct Free {
    void operator()(uint8_t* p) const { std::free(p); }
  };
  std::unique_ptr<uint8_t, Free> heap_;
  uint8_t* const buf_;
  bool ok_ = false;
  uint8_t in_place_[kInPlace];
};

// Runs `work` with the host's lock released, and takes the lock back after
// it; inside another call of the module, runs it with the lock held.
// Inside, nothing may touch a host object (no Obj made, copied or dropped):
// the core works on buffers the caller owns or on bytes and str objects the
// caller holds, which nothing can change.
//
// The lock is taken back in this function's body, not in a destructor: up to
// 3.13 the host ends a thread that asks for it back while another thread
// finalizes the interpreter, by unwinding the thread's stack from inside
// PyEval_RestoreThread, and that unwinding may leave a function but not a
// destructor (which may not throw, and during the unwinding of an exception
// may not let another one out).  So what `work` throws (the core throws
// nothing; a bad_alloc at most, from the bridge) is noted while the lock is
// taken back, and thrown again after it: the unwinding it starts runs with
// the lock held.  (Noted, not kept as an exception_ptr: that needs a newer
// C++ runtime than the wheels may assume.)  A thread ended within `work`
// leaves without taking the lock back.
struct WorkFailed {};  // what else `work` threw: the entry's "unexpected failure"

template <class Work>
void unlocked(Work&& work) {
  if (calls_running > 1) {
    work();
    return;
  }
  PyThreadState* const state = PyEval_SaveThread();
  enum { kDone, kOutOfMemory, kFailed } outcome = kDone;
  try {
    work();
  } LATKEM_LET_THREAD_END catch (const std::bad_alloc&) {
    outcome = kOutOfMemory;
  } catch (...) {
    outcome = kFailed;
  }
  PyEval_RestoreThread(state);
  if (outcome == kOutOfMemory) throw std::bad_alloc();
  if (outcome == kFailed) throw WorkFailed();
}

// The bytes that hex text of exactly `size` bytes encodes, or false.
inline bool unhex(PyObject* o, uint8_t* out, size_t size) {
  const char* data;
  Py_ssize_t len;
  return text_of(o, data, len) && static_cast<size_t>(len) == 2 * size &&
         native::hex_decode(out, data, static_cast<size_t>(len));
}

// An exact int within [lo, hi].
inline bool small_int(PyObject* o, long long lo, long long hi, long long& out) {
  if (!PyLong_CheckExact(o)) return false;
  int overflow = 0;
  out = PyLong_AsLongLongAndOverflow(o, &overflow);
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

// The bytes of an exact bytes object, as the core takes them.
inline const uint8_t* bytes_data(PyObject* o) {
  return reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(o));
}

inline Obj raw_bytes(const uint8_t* data, size_t size) {
  return Obj(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data),
                                       static_cast<Py_ssize_t>(size)));
}
}  // namespace bridge

}  // namespace latkem
