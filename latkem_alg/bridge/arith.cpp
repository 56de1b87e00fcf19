// The native paths of the modular arithmetic and the NTT (host/arith.cpp):
// exact lists of exact ints, reduced into [0, q) first.
#include "bridge/bridge.h"
#include "bridge/paths.h"

namespace latkem {
namespace bridge {

namespace {

// ---------------------------------------------------------------------------
// Native paths: exact lists of exact ints, reduced into [0, q) first.  The
// transforms are linear and the product bilinear modulo q, so reducing the
// entries does not change their results.  Entries may be secret: the
// reduction is arithmetic, with no branch on the value.

// x mod q in [0, q) for any 64-bit x, with multiplications and shifts only,
// whatever the compiler makes of a division.  The 24-bit limbs of x are
// folded with 2^24 = 2385 and 2^48 = 2293 (mod q): the sum lies in
// (-2^27, 2^36); folding once more and adding 8q gives t in [0, 2^26), for
// which the reciprocal ceil(2^40 / q) yields the exact quotient (its error,
// below t / 2^40 <= 2^-14, stays under 1/q).
inline int16_t residue(long long x) {
  const int64_t lo = x & 0xFFFFFF;
  const int64_t mid = (x >> 24) & 0xFFFFFF;
  const int64_t hi = x >> 48;  // arithmetic shift: [-2^15, 2^15)
  int64_t s = hi * 2293 + mid * 2385 + lo;
  s = (s >> 24) * 2385 + (s & 0xFFFFFF);  // [-2^14, 2^25)
  const uint64_t t = uint64_t(s + 8 * native::kQ);
  const uint64_t quotient = (t * 330282857u) >> 40;
  return int16_t(t - quotient * uint64_t(native::kQ));
}

// Entry i of an exact list as a residue, when it is an exact int of 64 bits.
bool residue_at(PyObject* list, Py_ssize_t i, int16_t& out) {
  PyObject* item = PyList_GET_ITEM(list, i);
  if (!PyLong_CheckExact(item)) return false;
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(item, &overflow);
  if (overflow || (value == -1 && PyErr_Occurred())) {
    PyErr_Clear();
    return false;
  }
  out = residue(value);
  return true;
}

// Entries 0..255 of an exact list of at least 256 entries, as residues.
bool residues(PyObject* list, int16_t out[native::kN]) {
  if (!PyList_CheckExact(list) || PyList_GET_SIZE(list) < native::kN) return false;
  for (int i = 0; i < native::kN; ++i)
    if (!residue_at(list, i, out[i])) return false;
  return true;
}

}  // namespace

// The host paths transform secret polynomials (the key, the noise) with
// these three: the copies are wiped, as the core wipes its own.

// ntt3: entries from 256 on come back reduced, as the final pass does.
bool native_ntt3(PyObject* vvv, Obj& result) {
  int16_t in[native::kN], out[native::kN];
  native::Wiped wipe_in(in, sizeof in), wipe_out(out, sizeof out);
  if (!residues(vvv, in)) return false;
  native::ntt_reduced(in, out);
  const Py_ssize_t size = PyList_GET_SIZE(vvv);
  Obj list(PyList_New(size));
  put_ints(list.get(), out, native::kN);
  for (Py_ssize_t i = native::kN; i < size; ++i) {
    int16_t value;
    if (!residue_at(vvv, i, value)) return false;
    PyObject* item = PyLong_FromLong(value);
    if (!item) raise();
    PyList_SET_ITEM(list.get(), i, item);
  }
  result = list;
  return true;
}

// intt3: entries from 256 on are the argument's own objects.
bool native_intt3(PyObject* vvv, Obj& result) {
  int16_t in[native::kN], out[native::kN];
  native::Wiped wipe_in(in, sizeof in), wipe_out(out, sizeof out);
  if (!residues(vvv, in)) return false;
  native::invntt_reduced(in, out);
  const Py_ssize_t size = PyList_GET_SIZE(vvv);
  Obj list(PyList_New(size));
  put_ints(list.get(), out, native::kN);
  for (Py_ssize_t i = native::kN; i < size; ++i) {
    PyObject* item = PyList_GET_ITEM(vvv, i);
    Py_INCREF(item);
    PyList_SET_ITEM(list.get(), i, item);
  }
  result = list;
  return true;
}

bool native_ntt3_mul(PyObject* fff, PyObject* ggg, Obj& result) {
  int16_t a[native::kN], b[native::kN], out[native::kN];
  native::Wiped wipe_a(a, sizeof a), wipe_b(b, sizeof b), wipe_out(out, sizeof out);
  if (!residues(fff, a) || !residues(ggg, b)) return false;
  native::basemul_reduced(a, b, out);
  Obj list(PyList_New(native::kN));
  put_ints(list.get(), out, native::kN);
  result = list;
  return true;
}

}  // namespace bridge
}  // namespace latkem
