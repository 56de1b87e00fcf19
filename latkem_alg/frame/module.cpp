// The module `Latkem`: its creation and initialisation, the module body that
// binds its parameters, tables and functions, and the self-demonstration.
#include "guard/guard.h"
#include "frame/module.h"

#include <cstring>
#include <new>

namespace latkem {

Builtins builtins;
Names names;

const char kFileName[] = "latkem_alg\\Latkem";
const char kModuleName[] = "Latkem";

// The one module object of the process, kept once its body started running,
// and the interpreter that created it.
PyObject* the_module = nullptr;
PyObject* the_dict = nullptr;
PyObject* the_builtins = nullptr;
namespace {
int64_t the_interpreter = -1;
}  // namespace

// The names are interned once per process.  If memory runs out partway, a
// later import makes the ones still missing, rather than taking the set for
// complete.
bool intern_names() {
  static bool complete = false;
  if (complete) return true;
  bool ok = true;
#define LATKEM_INTERN(nm, ...)                                  \
  if (ok && !names.nm) names.nm = PyUnicode_InternFromString(#nm); \
  ok = ok && names.nm;
  LATKEM_GLOBALS(LATKEM_INTERN)
  LATKEM_FUNCTIONS(LATKEM_INTERN)
  LATKEM_OTHER_NAMES(LATKEM_INTERN)
#undef LATKEM_INTERN
  complete = ok;
  return ok;
}

namespace {

// ---------------------------------------------------------------------------
// Tables.

constexpr int brv7(int i) {
  int r = 0;
  for (int b = 0; b < 7; ++b) r |= ((i >> b) & 1) << (6 - b);
  return r;
}

constexpr int64_t pow_mod(int64_t base, int64_t e, int64_t m) {
  int64_t r = 1;
  base %= m;
  while (e > 0) {
    if (e & 1) r = r * base % m;
    base = base * base % m;
    e >>= 1;
  }
  return r;
}

Obj make_tree() {
  Obj l(PyList_New(128));
  for (int i = 0; i < 128; ++i) {
    int v = brv7(i);
    PyObject* x = v < 64 ? PyLong_FromLong(v) : PyFloat_FromDouble(v);
    if (!x) raise();
    PyList_SET_ITEM(l.get(), i, x);
  }
  return l;
}

Obj make_zetas() {
  int64_t v[128];
  for (int i = 0; i < 128; ++i) v[i] = 2285 * pow_mod(17, brv7(i), 3329) % 3329;
  return int_list(v, 128);
}

Obj make_zetas_inv() {
  int64_t v[128];
  int at = 0;
  for (int start = 64; start >= 1; start >>= 1)
    for (int j = start; j < 2 * start; ++j)
      v[at++] = (3329 - 2285 * pow_mod(17, 128 - brv7(j), 3329) % 3329) % 3329;
  v[127] = 1441;
  return int_list(v, 128);
}


// ---------------------------------------------------------------------------
// Module creation and execution.

void set_global(PyObject* name, const Obj& value) {
  if (PyDict_SetItem(the_dict, name, value.get()) < 0) raise();
}

Obj import(const char* name, PyObject* fromlist) {
  Obj n(PyUnicode_FromString(name));
  return Obj(PyImport_ImportModuleLevelObject(n.get(), the_dict, nullptr, fromlist, 0));
}

// `from module import name`: an attribute, else an already imported submodule.
Obj import_from(const Obj& module, PyObject* name) {
  PyObject* v = PyObject_GetAttr(module.get(), name);
  if (v) return Obj(v);
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) raise();
  PyErr_Clear();
  PyObject* pkg = PyModule_GetNameObject(module.get());
  if (pkg) {
    Obj full(PyUnicode_FromFormat("%U.%U", pkg, name));
    Py_DECREF(pkg);
    PyObject* mods = PyImport_GetModuleDict();
    PyObject* sub = PyDict_GetItemWithError(mods, full.get());
    if (sub) return Obj::borrow(sub);
  }
  PyErr_Clear();
  PyErr_Format(PyExc_ImportError, "cannot import name %S", name);
  raise();
}

void assign_pair(const Obj& value, PyObject* first, PyObject* second) {
  Obj a, b;
  unpack2(value, a, b);
  set_global(first, a);
  set_global(second, b);
}

void demonstrate(Frame& f) {
  f.line = line::init::test_main;
  Obj modname = GLOBAL(__name__);
  if (!modname.eq(Obj::borrow(names.__main__))) return;
  Obj print = Obj::borrow(builtins.print);
  f.line = line::init::demo_keygen;
  assign_pair(GLOBAL(CCA_KeyGen)(), names.cca_pk1, names.cca_sk1);
  f.line = line::init::print_pk;
  print(text("cca_pk:"), GLOBAL(cca_pk1));
  f.line = line::init::print_sk;
  print(text("cca_sk:"), GLOBAL(cca_sk1));
  f.line = line::init::draw_message;
  set_global(names.new_m, randbytes(GLOBAL(random), num(32)));
  f.line = line::init::demo_enc;
  assign_pair(GLOBAL(CCA_Enc)(GLOBAL(cca_pk1), GLOBAL(new_m)), names.Cipher, names.scr_key);
  f.line = line::init::print_cipher;
  print(text("Cipher:"), GLOBAL(Cipher));
  f.line = line::init::print_k1;
  print(text("K1:"), GLOBAL(scr_key));
  f.line = line::init::demo_dec;
  set_global(names.new_k, GLOBAL(CCA_Dec)(GLOBAL(Cipher), GLOBAL(cca_sk1)));
  f.line = line::init::print_k2;
  print(text("K2:"), GLOBAL(new_k));
}

void bind_functions(Frame& f, const char* first, const char* last) {
  bool on = false;
  for (const FuncSpec& s : kFunctions) {
    if (std::strcmp(s.name, first) == 0) on = true;
    if (!on) continue;
    f.line = s.first_line;
    Obj fn = new_function(s);
    Obj key(PyUnicode_InternFromString(s.name));
    set_global(key.get(), fn);
    if (std::strcmp(s.name, last) == 0) break;
  }
}

// The module body, statement by statement.
void run_body(Frame& f) {
  f.line = line::init::import_math;
  set_global(names.math, import("math", nullptr));
  f.line = line::init::import_random;
  set_global(names.random, import("random", nullptr));
  f.line = line::init::import_binascii;
  set_global(names.binascii, import("binascii", nullptr));
  f.line = line::init::import_numpy;
  set_global(names.np, import("numpy", nullptr));
  f.line = line::init::import_hashlib;
  set_global(names.hashlib, import("hashlib", nullptr));
  f.line = line::init::from_hashlib;
  {
    Obj fromlist = tuple_of({Obj::borrow(names.sha3_256), Obj::borrow(names.sha3_512),
                             Obj::borrow(names.shake_128), Obj::borrow(names.shake_256)});
    Obj mod = import("hashlib", fromlist.get());
    for (PyObject* nm : {names.sha3_256, names.sha3_512, names.shake_128, names.shake_256})
      set_global(nm, import_from(mod, nm));
  }
  f.line = line::init::set_q;
  set_global(names.q, num(3329));
  f.line = line::init::set_n;
  set_global(names.n, num(256));
  f.line = line::init::set_k;
  set_global(names.k, num(13));
  f.line = line::init::set_eta;
  set_global(names.eta1, num(3));
  set_global(names.eta2, num(2));
  f.line = line::init::set_kk;
  set_global(names.kk, num(2));
  f.line = line::init::set_bar_k;
  set_global(names.bar_k, num(12));
  f.line = line::init::set_bar_r;
  set_global(names.bar_r, num(20158));
  f.line = line::init::set_ted;
  set_global(names.ted, to_int(GLOBAL(q) / num(2)));
  f.line = line::init::set_d;
  set_global(names.du, num(10));
  set_global(names.dv, num(4));
  bind_functions(f, "compress", "kdf");
  f.line = line::init::set_tree;
  set_global(names.tree, make_tree());
  f.line = line::init::set_mont;
  set_global(names.mont, num(2285));
  f.line = line::init::set_mont_inv;
  set_global(names.mont_inv, num(169));
  f.line = line::init::set_zetas;
  set_global(names.zetas, make_zetas());
  f.line = line::init::set_zetas_inv;
  set_global(names.zetas_inv, make_zetas_inv());
  bind_functions(f, "CCA_KeyGen", "CCA_Dec");
  guard::snapshot(the_dict);
  demonstrate(f);
}

int check_version() {
  char ctversion[5];
  PyOS_snprintf(ctversion, sizeof ctversion, "%d.%d", PY_MAJOR_VERSION, PY_MINOR_VERSION);
  const char* rt = Py_GetVersion();
  bool same = true;
  for (int i = 0; i < 4; ++i) {
    if (!ctversion[i]) {
      same = rt[i] < '0' || rt[i] > '9';
      break;
    }
    if (rt[i] != ctversion[i]) {
      same = false;
      break;
    }
  }
  if (same) return 0;
  char rtversion[5] = {0};
  bool dot = false;
  for (int i = 0; i < 4; ++i) {
    if (rt[i] == '.') {
      if (dot) break;
      dot = true;
    } else if (rt[i] < '0' || rt[i] > '9') {
      break;
    }
    rtversion[i] = rt[i];
  }
  char message[200];
  PyOS_snprintf(message, sizeof message,
                "compile time version %s of module '%.100s' does not match runtime version %s",
                ctversion, kModuleName, rtversion);
  return PyErr_WarnEx(nullptr, message, 1);
}

int64_t current_interpreter() { return interp::interpreter_id(); }

PyObject* module_create(PyObject* spec, PyModuleDef*) {
  int64_t id = current_interpreter();
  if (id == -1) return nullptr;
  if (the_interpreter == -1) {
    the_interpreter = id;
  } else if (id != the_interpreter) {
    PyErr_SetString(PyExc_ImportError,
                    "Interpreter change detected - this module can only be loaded into one "
                    "interpreter per process.");
    return nullptr;
  }
  if (the_module) {
    Py_INCREF(the_module);
    return the_module;
  }
  PyObject* modname = PyObject_GetAttrString(spec, "name");
  if (!modname) return nullptr;
  PyObject* module = PyModule_NewObject(modname);
  Py_DECREF(modname);
  if (!module) return nullptr;
  PyObject* dict = PyModule_GetDict(module);
  static const struct {
    const char* from;
    const char* to;
    bool allow_none;
  } copies[] = {{"loader", "__loader__", true},
                {"origin", "__file__", true},
                {"parent", "__package__", true},
                {"submodule_search_locations", "__path__", false}};
  for (const auto& c : copies) {
    PyObject* value = PyObject_GetAttrString(spec, c.from);
    if (!value) {
      if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        continue;
      }
      Py_DECREF(module);
      return nullptr;
    }
    int rc = 0;
    if (c.allow_none || value != Py_None) rc = PyDict_SetItemString(dict, c.to, value);
    Py_DECREF(value);
    if (rc < 0) {
      Py_DECREF(module);
      return nullptr;
    }
  }
  return module;
}

// Set when the exec step itself entered the module in sys.modules.
bool entered_in_modules = false;

void drop_module() {
  if (entered_in_modules) {
    // Leave no half-initialised module behind for a later import to find.
    interp::PendingError pending;
    pending.fetch();
    PyObject* modules = PyImport_GetModuleDict();
    PyObject* entry = PyDict_GetItemWithError(modules, names.Latkem);
    if (entry == the_module && PyDict_DelItem(modules, names.Latkem) < 0) PyErr_Clear();
    PyErr_Clear();
    pending.restore();
    entered_in_modules = false;
  }
  Py_CLEAR(the_module);
  the_dict = nullptr;
}

int module_exec(PyObject* module) {
  if (the_module) {
    if (the_module == module) return 0;
    PyErr_SetString(PyExc_RuntimeError,
                    "Module 'Latkem' has already been imported. Re-initialisation is not "
                    "supported.");
    return -1;
  }
  Py_INCREF(module);
  the_module = module;
  the_dict = PyModule_GetDict(module);
  if (!the_builtins) {
    the_builtins = PyImport_AddModule("builtins");
    Py_XINCREF(the_builtins);
  }
  if (!the_builtins || PyObject_SetAttrString(module, "__builtins__", the_builtins) < 0 ||
      check_version() < 0 || !intern_names()) {
    drop_module();
    return -1;
  }
  if (!function_type_ready()) {
    drop_module();
    return -1;
  }
  PyObject* modules = PyImport_GetModuleDict();
  int has = PyDict_Contains(modules, names.Latkem);
  if (has < 0 || (!has && PyDict_SetItem(modules, names.Latkem, module) < 0)) {
    drop_module();
    return -1;
  }
  entered_in_modules = !has;
  static const struct {
    PyObject** slot;
    const char* name;
  } fixed[] = {{&builtins.print, "print"},
               {&builtins.round, "round"},
               {&builtins.range, "range"},
               {&builtins.ValueError, "ValueError"},
               {&builtins.format, "format"}};
  for (const auto& b : fixed) {
    if (*b.slot) continue;
    PyObject* v = PyObject_GetAttrString(the_builtins, b.name);
    if (!v) {
      if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        PyErr_Format(PyExc_NameError, "name '%s' is not defined", b.name);
      }
      drop_module();
      return -1;
    }
    *b.slot = v;
  }
  // The native core picks its backend at its first use, reading the
  // environment; that first use is here, under the host's lock, and not in
  // a call that has released it while another thread changes the environment.
  (void)native::backend_name();
  Frame f{Fn::count, line::init::import_math, false};
  const interp::Entered entered;
  try {
    run_body(f);
    return 0;
  } catch (const HostError&) {
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } LATKEM_LET_THREAD_END catch (...) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "unexpected failure in Latkem");
  }
  add_traceback(kInitEntry, f.line);
  drop_module();
  return -1;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
#ifdef Py_mod_gil
    // A free-threaded host keeps its lock on while this module is loaded.
    {Py_mod_gil, Py_MOD_GIL_USED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, kModuleName, nullptr, 0, nullptr, module_slots, nullptr, nullptr,
    nullptr,
};

}  // namespace
}  // namespace latkem

// The module's only exported symbol.
#if defined(_WIN32)
PyMODINIT_FUNC
#else
extern "C" __attribute__((visibility("default"))) PyObject*
#endif
PyInit_Latkem(void) {
  return PyModuleDef_Init(&latkem::module_def);
}
