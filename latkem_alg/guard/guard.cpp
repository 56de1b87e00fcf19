// The native-path guard (guard.h): what each function relies on, made from
// the table, and the cached check of it.
#include "guard/guard.h"

#include <cstring>
#include <initializer_list>

namespace latkem {
namespace guard {
namespace {

// ---------------------------------------------------------------------------
// What each function relies on, from the table.

enum class Kind { value, param, same, module, table, user, host };

// Globals by index: the non-function globals of the table, then the functions.
#define LATKEM_GLOBAL_ID(nm, kind) g_##nm,
enum GlobalId : int { LATKEM_GLOBALS(LATKEM_GLOBAL_ID) kFirstFunction };
#undef LATKEM_GLOBAL_ID
constexpr int kTracked = kFirstFunction + kFunctionCount;
static_assert(kTracked <= 64, "one bit per global");

#define LATKEM_GLOBAL_KIND(nm, kind) Kind::kind,
constexpr Kind kKinds[kFirstFunction] = {LATKEM_GLOBALS(LATKEM_GLOBAL_KIND)};
#undef LATKEM_GLOBAL_KIND

#define LATKEM_ATTR_ID(mod, at) a_##mod##_##at,
enum AttrId : int { LATKEM_ATTRS(LATKEM_ATTR_ID) kAttrCount };
#undef LATKEM_ATTR_ID

struct AttrSpec {
  int owner;
  const char* module;
  const char* name;
};
#define LATKEM_ATTR_SPEC(mod, at) {g_##mod, #mod, #at},
constexpr AttrSpec kAttrs[kAttrCount] = {LATKEM_ATTRS(LATKEM_ATTR_SPEC)};
#undef LATKEM_ATTR_SPEC

constexpr uint64_t bit(int i) { return uint64_t(1) << i; }

// The names a row uses stand for their bits.
namespace ids {
constexpr uint64_t mask(std::initializer_list<uint64_t> bits) {
  uint64_t m = 0;
  for (uint64_t b : bits) m |= b;
  return m;
}
#define LATKEM_GLOBAL_BIT(nm, kind) constexpr uint64_t nm = bit(g_##nm);
LATKEM_GLOBALS(LATKEM_GLOBAL_BIT)
#undef LATKEM_GLOBAL_BIT
#define LATKEM_FUNCTION_BIT(nm, ...) \
  constexpr uint64_t nm = bit(kFirstFunction + static_cast<int>(Fn::nm));
LATKEM_FUNCTIONS(LATKEM_FUNCTION_BIT)
#undef LATKEM_FUNCTION_BIT
#define LATKEM_ATTR_BIT(mod, at) constexpr uint64_t mod##_##at = bit(a_##mod##_##at);
LATKEM_ATTRS(LATKEM_ATTR_BIT)
#undef LATKEM_ATTR_BIT

struct Row {
  uint64_t globals;
  uint64_t attrs;
  uint64_t calls;
};
#define LATKEM_UNPAREN(...) __VA_ARGS__
#define LATKEM_ROW(nm, line, params, locals, globals, attrs, calls) \
  {mask({LATKEM_UNPAREN globals}), mask({LATKEM_UNPAREN attrs}), mask({LATKEM_UNPAREN calls})},
constexpr Row kRows[kFunctionCount] = {LATKEM_FUNCTIONS(LATKEM_ROW)};
#undef LATKEM_ROW
}  // namespace ids
using ids::kRows;

// Globals called alike on both paths; the guard does not check them.
constexpr uint64_t kUnchecked = [] {
  uint64_t m = 0;
  for (int i = 0; i < kFirstFunction; ++i)
    if (kKinds[i] == Kind::user) m |= bit(i);
  return m;
}();

constexpr uint64_t kModules = [] {
  uint64_t m = 0;
  for (int i = 0; i < kFirstFunction; ++i)
    if (kKinds[i] == Kind::module) m |= bit(i);
  return m;
}();

constexpr uint64_t kParams = [] {
  uint64_t m = 0;
  for (int i = 0; i < kFirstFunction; ++i)
    if (kKinds[i] == Kind::param) m |= bit(i);
  return m;
}();

// The closure over callees: what the guard checks for each function, and how
// deep its host path nests module calls.
struct Need {
  uint64_t globals;
  uint64_t attrs;
  int chain;  // module calls nested below the function, at most
};

constexpr int fn_index(uint64_t bits, int i) {
  return (bits >> (kFirstFunction + i)) & 1;
}

struct Needs {
  Need of[kFunctionCount];
};

constexpr Needs compute_needs() {
  Needs r{};
  for (int i = 0; i < kFunctionCount; ++i)
    r.of[i] = Need{(kRows[i].globals | kRows[i].calls) & ~kUnchecked, kRows[i].attrs, 0};
  for (bool changed = true; changed;) {
    changed = false;
    for (int i = 0; i < kFunctionCount; ++i) {
      Need m = r.of[i];
      for (int j = 0; j < kFunctionCount; ++j) {
        if (!fn_index(kRows[i].calls, j)) continue;
        m.globals |= r.of[j].globals;
        m.attrs |= r.of[j].attrs;
        if (r.of[j].chain + 1 > m.chain) m.chain = r.of[j].chain + 1;
      }
      if (m.globals != r.of[i].globals || m.attrs != r.of[i].attrs || m.chain != r.of[i].chain) {
        r.of[i] = m;
        changed = true;
      }
    }
  }
  return r;
}
constexpr Needs kNeeds = compute_needs();

// Recursion depth.  Each module call the host path makes enters the host's
// recursion check interp::kChecksPerModuleCall times; any single host call a
// body makes nests at most kHostCallDepth checks below it (type calls,
// builtins and methods, the comparisons and numpy's conversions inside them).
constexpr int kPerModuleCall = interp::kChecksPerModuleCall;
constexpr int kHostCallDepth = 6;

// The stack the host path may use below its entry, at most, to its deepest
// recursion check, where the host checks the stack rather than counting
// (frame/interp.h): per module call nested, and for the body's own host calls
// (numpy's conversions nest deepest).  Bounds, measured with room to spare;
// within them of the host's limit the native path steps aside and the host
// path runs, so near the limit the outcome is the host path's by
// construction.
constexpr uintptr_t kStackPerModuleCall = 16 * 1024;
constexpr uintptr_t kStackHostCall = 32 * 1024;

#ifndef LATKEM_HOST_ONLY
// ---------------------------------------------------------------------------
// The snapshot and the cached answer.

bool ready = false;
bool genuine_builtins = false;
PyObject* tracked_dict = nullptr;  // the module dictionary of the snapshot
PyObject* tracked_names[kTracked];
PyObject* initial[kTracked];
PyObject* attr_initial[kAttrCount];
PyObject* zetas_items = nullptr;  // a tuple of the table's initial entries

// The dictionaries whose changes invalidate the cached answer: the module's
// and those of the host modules whose attributes the bodies call.
constexpr int count_bits(uint64_t m) { return m ? int(m & 1) + count_bits(m >> 1) : 0; }
constexpr int kWatched = 1 + count_bits(kModules);
PyObject* watched[kWatched];
PyObject* module_objects[kWatched - 1];

#if defined(LATKEM_DICT_WATCHERS)
int watcher_id = -1;
// Every change of a watched dictionary counts; the answer holds for the count
// it was worked out at.  (A count, not a flag: user code that runs during the
// work may call the module again, and the nested work must not clear what the
// outer one has yet to see.)
uint64_t changes = 1;
uint64_t answered_at = 0;
int on_dict_change(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) {
  ++changes;
  return 0;
}
#else
uint64_t versions[kWatched];
bool settled = false;
uint64_t version_of(PyObject* d) { return interp::dict_version(d); }
#endif

uint64_t intact_bits = 0;   // globals as bound
uint64_t intact_attrs = 0;  // host-module attributes as bound
native::Params current{2, 2, 2, 10, 4};

bool is_builtin(PyObject* obj, const char* name) {
  PyObject* self = nullptr;
  const char* c_name = interp::builtin_name(obj, &self);
  if (!c_name) return false;
  const char* module = PyModule_Check(self) ? PyModule_GetName(self) : nullptr;
  if (!module) PyErr_Clear();
  return std::strcmp(c_name, name) == 0 && module &&
         std::strcmp(module, "builtins") == 0;
}

bool exact_int(PyObject* v, long long& out) {
  if (!v || !PyLong_CheckExact(v)) return false;
  int overflow = 0;
  out = PyLong_AsLongLongAndOverflow(v, &overflow);
  if (overflow || (out == -1 && PyErr_Occurred())) {
    PyErr_Clear();
    return false;
  }
  return true;
}

// Looking a name up may run user code (a key of another type whose hash
// collides with it): errors count as a missing name.
PyObject* item_of(PyObject* dict, PyObject* name) {
  PyObject* v = PyDict_GetItemWithError(dict, name);
  if (!v) PyErr_Clear();
  return v;
}

PyObject* attr_of(PyObject* module, const char* name) {
  if (!module || !PyModule_Check(module)) return nullptr;
  PyObject* v = PyDict_GetItemString(PyModule_GetDict(module), name);
  return v;
}

// The parameters the native core supports, one by one.
bool param_ok(int g, long long v) {
  switch (g) {
    case g_kk: return native::kk_supported(v);
    case g_eta1:
    case g_eta2: return native::eta_supported(v);
    case g_du: return native::du_supported(v);
    case g_dv: return native::dv_supported(v);
    default: return false;
  }
}

void set_param(int g, int v) {
  switch (g) {
    case g_kk: current.kk = v; break;
    case g_eta1: current.eta1 = v; break;
    case g_eta2: current.eta2 = v; break;
    case g_du: current.du = v; break;
    case g_dv: current.dv = v; break;
    default: break;
  }
}

// Works the answer out from the dictionaries as they are.
void compute() {
  uint64_t bits = 0;
  native::Params placeholders{2, 2, 2, 10, 4};
  current = placeholders;
  for (int i = 0; i < kTracked; ++i) {
    PyObject* v = item_of(tracked_dict, tracked_names[i]);
    const Kind kind = i < kFirstFunction ? kKinds[i] : Kind::same;
    bool ok = v && v == initial[i];
    long long a, b;
    if (kind == Kind::value && !ok)
      ok = exact_int(v, a) && exact_int(initial[i], b) && a == b;
    if (kind == Kind::param) {
      ok = exact_int(v, a) && param_ok(i, a);
      if (ok) set_param(i, static_cast<int>(a));
    }
    if (ok) bits |= bit(i);
  }
  uint64_t attrs = 0;
  for (int i = 0; i < kAttrCount; ++i)
    if (attr_of(initial[kAttrs[i].owner], kAttrs[i].name) == attr_initial[i]) attrs |= bit(i);
  intact_bits = bits;
  intact_attrs = attrs;
}

// Works the answer out again until no dictionary changed meanwhile: the
// lookups may run user code, and what it changes must not be absorbed into
// the answer as if it had been seen.
void revalidate() {
  for (int round = 0; round < 4; ++round) {
#if defined(LATKEM_DICT_WATCHERS)
    const uint64_t at = changes;
    compute();
    if (changes == at) {
      answered_at = at;
      return;
    }
#else
    uint64_t before[kWatched];
    for (int i = 0; i < kWatched; ++i) before[i] = version_of(watched[i]);
    compute();
    bool same = true;
    for (int i = 0; i < kWatched; ++i) same = same && version_of(watched[i]) == before[i];
    if (same) {
      for (int i = 0; i < kWatched; ++i) versions[i] = before[i];
      settled = true;
      return;
    }
#endif
  }
  // Never settled: no native path, and the next call looks again.
  intact_bits = 0;
  intact_attrs = 0;
#if defined(LATKEM_DICT_WATCHERS)
  answered_at = 0;
#else
  settled = false;
#endif
}

inline void refresh() {
#if defined(LATKEM_DICT_WATCHERS)
  if (answered_at != changes) revalidate();
#else
  bool same = settled;
  for (int i = 0; same && i < kWatched; ++i) same = version_of(watched[i]) == versions[i];
  if (!same) revalidate();
#endif
}

// A change of a module's class leaves its dictionary as it was: looked at on
// every call.  Only a plain module looks its attributes up in its dictionary.
inline bool plain_modules() {
  for (PyObject* m : module_objects)
    if (Py_TYPE(m) != &PyModule_Type) return false;
  return true;
}

// The table `zetas` is a list its users may change in place: the same
// entries are the same pointers, compared as one block (a loop with a
// branch per entry made this check 2 % of a whole key generation, which
// asks twice).
bool zetas_unchanged() {
  return interp::same_items(initial[g_zetas], zetas_items);
}

#else
native::Params current{2, 2, 2, 10, 4};
#endif  // LATKEM_HOST_ONLY

}  // namespace

bool allows(Fn fn) {
#ifdef LATKEM_HOST_ONLY
  (void)fn;
  return false;
#else
  if (!ready || !genuine_builtins || module_dict() != tracked_dict) return false;
  const Need& need = kNeeds.of[static_cast<int>(fn)];
  if (!interp::recursion_room(need.chain * kPerModuleCall + kHostCallDepth,
                              need.chain * kStackPerModuleCall + kStackHostCall))
    return false;
  refresh();
  if ((intact_bits & need.globals) != need.globals || (intact_attrs & need.attrs) != need.attrs)
    return false;
  if ((need.globals & kModules) && !plain_modules()) return false;
  return !(need.globals & ids::zetas) || zetas_unchanged();
#endif
}

const native::Params& params() { return current; }

bool still_allows(Fn fn, const native::Params& p) {
  if (!allows(fn)) return false;
  return current.kk == p.kk && current.eta1 == p.eta1 && current.eta2 == p.eta2 &&
         current.du == p.du && current.dv == p.dv;
}

int host_depth(Fn fn) {
  return kNeeds.of[static_cast<int>(fn)].chain * kPerModuleCall + kHostCallDepth;
}

PyObject* reads(Fn fn) {
  const Need& need = kNeeds.of[static_cast<int>(fn)];
  PyObject* set = PyFrozenSet_New(nullptr);
  if (!set) return nullptr;
  static const char* const global_names[kTracked] = {
#define LATKEM_GLOBAL_NAME(nm, ...) #nm,
      LATKEM_GLOBALS(LATKEM_GLOBAL_NAME) LATKEM_FUNCTIONS(LATKEM_GLOBAL_NAME)
#undef LATKEM_GLOBAL_NAME
  };
  auto add = [set](PyObject* name) {
    const int rc = name ? PySet_Add(set, name) : -1;
    Py_XDECREF(name);
    return rc == 0;
  };
  for (int i = 0; i < kTracked; ++i)
    if ((need.globals & bit(i)) && !add(PyUnicode_FromString(global_names[i]))) goto fail;
  for (int i = 0; i < kAttrCount; ++i)
    if ((need.attrs & bit(i)) &&
        !add(PyUnicode_FromFormat("%s.%s", kAttrs[i].module, kAttrs[i].name)))
      goto fail;
  return set;
fail:
  Py_DECREF(set);
  return nullptr;
}

void snapshot(PyObject* dict) {
#ifdef LATKEM_HOST_ONLY
  (void)dict;
#else
  ready = false;
  Py_INCREF(dict);
  Py_XSETREF(tracked_dict, dict);
  genuine_builtins = reinterpret_cast<PyObject*>(&PyRange_Type) == builtins.range &&
                     is_builtin(builtins.round, "round") &&
                     is_builtin(builtins.format, "format") && is_builtin(builtins.print, "print");
  PyObject* all_names[kTracked] = {
#define LATKEM_TRACKED_NAME(nm, ...) names.nm,
      LATKEM_GLOBALS(LATKEM_TRACKED_NAME) LATKEM_FUNCTIONS(LATKEM_TRACKED_NAME)
#undef LATKEM_TRACKED_NAME
  };
  for (int i = 0; i < kTracked; ++i) {
    tracked_names[i] = all_names[i];
    PyObject* v = item_of(tracked_dict, tracked_names[i]);
    if (!v) return;
    Py_INCREF(v);
    Py_XSETREF(initial[i], v);
  }
  if (!PyList_CheckExact(initial[g_zetas])) return;
  Py_XSETREF(zetas_items, PyList_AsTuple(initial[g_zetas]));
  if (!zetas_items) {
    PyErr_Clear();
    return;
  }
  for (int i = 0; i < kAttrCount; ++i) {
    PyObject* v = attr_of(initial[kAttrs[i].owner], kAttrs[i].name);
    if (!v) return;
    Py_INCREF(v);
    Py_XSETREF(attr_initial[i], v);
  }
  PyObject* dicts[kWatched] = {tracked_dict};
  int at = 0;
  for (int i = 0; i < kFirstFunction; ++i) {
    if (kKinds[i] != Kind::module) continue;
    if (!PyModule_Check(initial[i])) return;
    module_objects[at] = initial[i];
    dicts[++at] = PyModule_GetDict(initial[i]);
  }
  for (int i = 0; i < kWatched; ++i) {
    Py_INCREF(dicts[i]);
    Py_XSETREF(watched[i], dicts[i]);
  }
#if defined(LATKEM_DICT_WATCHERS)
  if (watcher_id < 0) watcher_id = PyDict_AddWatcher(on_dict_change);
  if (watcher_id < 0) {
    PyErr_Clear();
    return;
  }
  for (int i = 0; i < kWatched; ++i) {
    if (PyDict_Watch(watcher_id, watched[i]) < 0) {
      PyErr_Clear();
      return;
    }
  }
  answered_at = 0;
#else
  settled = false;
#endif
  revalidate();
  ready = true;
#endif
}

}  // namespace guard
}  // namespace latkem

namespace latkem {

// The frame's questions to the guard (frame/latkem.h): the parameters it read
// are kept in the frame as plain words.
static_assert(sizeof(native::Params) == sizeof(Frame::guard_params) &&
                  alignof(native::Params) <= alignof(int),
              "the frame holds the guard's parameters");

bool Frame::guard_allows() {
  if (!guard::allows(fn)) return false;
  std::memcpy(guard_params, &guard::params(), sizeof guard_params);
  return true;
}

bool Frame::guard_holds() const {
  native::Params p;
  std::memcpy(&p, guard_params, sizeof p);
  return guard::still_allows(fn, p);
}

}  // namespace latkem
