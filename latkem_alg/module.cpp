// Module frame: creation and initialisation of `Latkem`, its parameters and
// tables, the function objects with their argument binding, global lookup and
// traceback entries.
#include "latkem.h"

#include <frameobject.h>
#include <structmember.h>

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

namespace latkem {

Builtins builtins;
Names names;

namespace {

const char kFileName[] = "latkem_alg\\Latkem";
const char kModuleName[] = "Latkem";

// The one module object of the process, kept once its body started running,
// and the interpreter that created it.
PyObject* the_module = nullptr;
PyObject* the_dict = nullptr;
PyObject* the_builtins = nullptr;
int64_t the_interpreter = -1;
// Code objects of traceback entries, by (name, line).
PyObject* tb_codes = nullptr;

bool intern_names() {
  if (names.math) return true;
#define LATKEM_INTERN(nm)                           \
  names.nm = PyUnicode_InternFromString(#nm);      \
  if (!names.nm) return false;
  LATKEM_NAMES(LATKEM_INTERN)
#undef LATKEM_INTERN
  return true;
}

}  // namespace

// The globals of the function whose body is running on this thread (a
// function keeps the dictionary of the module object that made it).
thread_local PyObject* running_globals = nullptr;

PyObject* module_dict() { return running_globals ? running_globals : the_dict; }

// ---------------------------------------------------------------------------
// Small host helpers used by the bodies.

Obj num(long v) { return Obj(PyLong_FromLong(v)); }
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
  // Hosts before 3.9 lack randbytes; it is defined as these very bytes.
  PyErr_Clear();
  Obj bits = random_module.method(names.getrandbits, count * num(8));
  return bits.method(names.to_bytes, count, Obj::borrow(names.little));
}

// ---------------------------------------------------------------------------
// Traceback entries.

static void add_traceback(const char* funcname, int line) {
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  PyObject* code = nullptr;
  PyObject* key = Py_BuildValue("(si)", funcname, line);
  if (key && tb_codes) {
    code = PyDict_GetItemWithError(tb_codes, key);
    Py_XINCREF(code);
  }
  if (!code && !PyErr_Occurred()) {
    code = reinterpret_cast<PyObject*>(PyCode_NewEmpty(kFileName, funcname, line));
    if (code && key && tb_codes) PyDict_SetItem(tb_codes, key, code);
  }
  Py_XDECREF(key);
  PyFrameObject* frame = nullptr;
  PyObject* globals = module_dict();
  if (code && globals) {
    frame = PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code), globals,
                        nullptr);
  }
  PyErr_Clear();
  PyErr_Restore(type, value, tb);
  if (frame) PyTraceBack_Here(frame);
  Py_XDECREF(reinterpret_cast<PyObject*>(frame));
  Py_XDECREF(code);
}

// ---------------------------------------------------------------------------
// Function objects.

namespace {

// The most parameters a module function has.
constexpr size_t kMaxParams = 8;

struct Function {
  PyObject_HEAD
  vectorcallfunc vectorcall;
  const FuncSpec* spec;
  PyObject* name;
  PyObject* qualname;
  PyObject* module;
  PyObject* doc;
  PyObject* code;
  PyObject* globals;
  PyObject* dict;
  PyObject* annotations;
  PyObject* weakrefs;
  bool native;  // may take the native path (private switch `_native`)
  Py_ssize_t native_calls;  // calls answered by the native path
};

PyObject* wrong_count(const FuncSpec& s, Py_ssize_t n, Py_ssize_t given) {
  PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
               s.name, "exactly", n, n == 1 ? "" : "s", given);
  return nullptr;
}

bool same_name(PyObject* kw, const char* name) {
  if (!PyUnicode_Check(kw)) return false;
  return PyUnicode_CompareWithASCIIString(kw, name) == 0;
}

// Binds the call's arguments to the function's parameters; false with the
// binding error set.
bool bind(const FuncSpec& s, PyObject* const* args, Py_ssize_t npos, PyObject* kwnames,
          PyObject** out) {
  const Py_ssize_t n = static_cast<Py_ssize_t>(s.params.size());
  const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  const char* const* params = s.params.begin();
  if (n == 0) {
    if (nkw > 0) {
      PyErr_Format(PyExc_TypeError, "%.200s() takes no keyword arguments", s.name);
      return false;
    }
    if (npos > 0) {
      PyErr_Format(PyExc_TypeError, "%.200s() takes no arguments (%zd given)", s.name, npos);
      return false;
    }
    return true;
  }
  if (nkw == 0) {
    if (npos != n) {
      wrong_count(s, n, npos);
      return false;
    }
    for (Py_ssize_t i = 0; i < n; ++i) out[i] = args[i];
    return true;
  }
  if (npos > n) {
    wrong_count(s, n, npos);
    return false;
  }
  for (Py_ssize_t i = 0; i < npos; ++i) out[i] = args[i];
  PyObject* const* kwvalues = args + npos;
  Py_ssize_t used = 0;
  for (Py_ssize_t i = npos; i < n; ++i) {
    Py_ssize_t found = -1;
    for (Py_ssize_t j = 0; j < nkw; ++j) {
      if (same_name(PyTuple_GET_ITEM(kwnames, j), params[i])) {
        found = j;
        break;
      }
    }
    if (found < 0) {
      wrong_count(s, n, i);
      return false;
    }
    out[i] = kwvalues[found];
    ++used;
  }
  if (used < nkw) {
    for (Py_ssize_t j = 0; j < nkw; ++j) {
      PyObject* kw = PyTuple_GET_ITEM(kwnames, j);
      if (!PyUnicode_Check(kw)) {
        PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", s.name);
        return false;
      }
      Py_ssize_t pos = -1;
      for (Py_ssize_t i = 0; i < n; ++i) {
        if (same_name(kw, params[i])) {
          pos = i;
          break;
        }
      }
      if (pos >= npos) {
        out[pos] = kwvalues[j];
      } else if (pos >= 0) {
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                     s.name, kw);
        return false;
      } else {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", s.name,
                     kw);
        return false;
      }
    }
  }
  return true;
}

PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) {
  const Function* fo = reinterpret_cast<Function*>(self);
  const FuncSpec& s = *fo->spec;
  // The traceback entry "Latkem.<name>", made only when something failed.
  auto add_entry = [&s](int line) {
    char name[64];
    std::snprintf(name, sizeof name, "%s.%s", kModuleName, s.name);
    add_traceback(name, line);
  };
  struct Globals {
    PyObject* const caller = running_globals;
    explicit Globals(PyObject* own) { running_globals = own; }
    ~Globals() { running_globals = caller; }
  } globals(fo->globals);
  PyObject* bound[kMaxParams] = {nullptr};
  if (!bind(s, args, PyVectorcall_NARGS(nargsf), kwnames, bound)) {
    add_entry(s.first_line);
    return nullptr;
  }
  if (Py_EnterRecursiveCall(" while calling a Latkem function")) {
    add_entry(s.first_line);
    return nullptr;
  }
  Frame f{s.first_line, fo->native};
  PyObject* result = nullptr;
  try {
    Obj a[kMaxParams];
    for (size_t i = 0; i < s.params.size(); ++i) a[i] = Obj::borrow(bound[i]);
    result = s.body(f, a).release();
    if (f.went_native) ++const_cast<Function*>(fo)->native_calls;
  } catch (const HostError&) {
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (...) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "unexpected failure in Latkem");
  }
  Py_LeaveRecursiveCall();
  if (!result) {
    if (!PyErr_Occurred())
      PyErr_SetString(PyExc_SystemError, "Latkem function failed without an exception");
    add_entry(f.line);
  }
  return result;
}

// A call with the keywords in a dictionary: keys that are not strings are
// refused before the arguments are bound, as the host does for its own
// functions from 3.9 on.
PyObject* function_call(PyObject* self, PyObject* args, PyObject* kwargs) {
  const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  const Py_ssize_t nkw = kwargs ? PyDict_GET_SIZE(kwargs) : 0;
  PyObject* key;
  PyObject* value;
  Py_ssize_t pos = 0;
  while (kwargs && PyDict_Next(kwargs, &pos, &key, &value)) {
    if (!PyUnicode_Check(key)) {
      PyErr_SetString(PyExc_TypeError, "keywords must be strings");
      return nullptr;
    }
  }
  std::vector<PyObject*> stack(static_cast<size_t>(nargs + nkw) + 1);
  for (Py_ssize_t i = 0; i < nargs; ++i) stack[i] = PyTuple_GET_ITEM(args, i);
  PyObject* kwnames = nullptr;
  if (nkw) {
    kwnames = PyTuple_New(nkw);
    if (!kwnames) return nullptr;
    pos = 0;
    Py_ssize_t i = 0;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      Py_INCREF(key);
      PyTuple_SET_ITEM(kwnames, i, key);
      stack[nargs + i] = value;
      ++i;
    }
  }
  PyObject* result = function_vectorcall(self, stack.data(), static_cast<size_t>(nargs), kwnames);
  Py_XDECREF(kwnames);
  return result;
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
  Function* f = reinterpret_cast<Function*>(self);
  Py_VISIT(f->name);
  Py_VISIT(f->qualname);
  Py_VISIT(f->module);
  Py_VISIT(f->doc);
  Py_VISIT(f->code);
  Py_VISIT(f->globals);
  Py_VISIT(f->dict);
  Py_VISIT(f->annotations);
  return 0;
}

int function_clear(PyObject* self) {
  Function* f = reinterpret_cast<Function*>(self);
  Py_CLEAR(f->name);
  Py_CLEAR(f->qualname);
  Py_CLEAR(f->module);
  Py_CLEAR(f->doc);
  Py_CLEAR(f->code);
  Py_CLEAR(f->globals);
  Py_CLEAR(f->dict);
  Py_CLEAR(f->annotations);
  return 0;
}

void function_dealloc(PyObject* self) {
  PyObject_GC_UnTrack(self);
  Function* f = reinterpret_cast<Function*>(self);
  if (f->weakrefs) PyObject_ClearWeakRefs(self);
  function_clear(self);
  PyObject_GC_Del(self);
}

PyObject* function_repr(PyObject* self) {
  Function* f = reinterpret_cast<Function*>(self);
  return PyUnicode_FromFormat("<function %U at %p>", f->qualname, self);
}

PyObject* function_reduce(PyObject* self, PyObject*) {
  Function* f = reinterpret_cast<Function*>(self);
  Py_INCREF(f->qualname);
  return f->qualname;
}

PyObject* get_none(PyObject*, void*) { Py_RETURN_NONE; }

PyObject* get_name(PyObject* self, void*) {
  PyObject* r = reinterpret_cast<Function*>(self)->name;
  Py_INCREF(r);
  return r;
}

int set_str(PyObject** slot, PyObject* value, const char* what) {
  if (!value || !PyUnicode_Check(value)) {
    PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
    return -1;
  }
  Py_INCREF(value);
  Py_SETREF(*slot, value);
  return 0;
}

int set_name(PyObject* self, PyObject* value, void*) {
  return set_str(&reinterpret_cast<Function*>(self)->name, value, "__name__");
}

PyObject* get_qualname(PyObject* self, void*) {
  PyObject* r = reinterpret_cast<Function*>(self)->qualname;
  Py_INCREF(r);
  return r;
}

int set_qualname(PyObject* self, PyObject* value, void*) {
  return set_str(&reinterpret_cast<Function*>(self)->qualname, value, "__qualname__");
}

PyObject* get_annotations(PyObject* self, void*) {
  Function* f = reinterpret_cast<Function*>(self);
  if (!f->annotations) {
    f->annotations = PyDict_New();
    if (!f->annotations) return nullptr;
  }
  Py_INCREF(f->annotations);
  return f->annotations;
}

PyObject* get_native(PyObject* self, void*) {
  return PyBool_FromLong(reinterpret_cast<Function*>(self)->native);
}

int set_native(PyObject* self, PyObject* value, void*) {
  int on = value ? PyObject_IsTrue(value) : 1;
  if (on < 0) return -1;
  reinterpret_cast<Function*>(self)->native = on != 0;
  return 0;
}

// Which native core the process runs: "avx2" or "portable".
PyObject* get_core(PyObject*, void*) { return PyUnicode_FromString(native::backend_name()); }

PyGetSetDef function_getset[] = {
    {"_native", get_native, set_native, "whether calls may take the native path", nullptr},
    {"_core", get_core, nullptr, "the native core in use", nullptr},
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__defaults__", get_none, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_none, nullptr, nullptr, nullptr},
    {"__closure__", get_none, nullptr, nullptr, nullptr},
    {"__annotations__", get_annotations, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__module__", T_OBJECT, offsetof(Function, module), 0, nullptr},
    {"__doc__", T_OBJECT, offsetof(Function, doc), 0, nullptr},
    {"__code__", T_OBJECT, offsetof(Function, code), READONLY, nullptr},
    {"__globals__", T_OBJECT, offsetof(Function, globals), READONLY, nullptr},
    {"_native_calls", T_PYSSIZET, offsetof(Function, native_calls), READONLY,
     "how many calls the native path has answered"},
    {nullptr, 0, 0, 0, nullptr},
};

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

#if PY_VERSION_HEX < 0x03090000
// Before 3.9 the host sends dictionary calls straight to the vectorcall
// entry without checking the keys, so those calls go through tp_call.
#define LATKEM_TPFLAGS_VECTORCALL 0
#else
#define LATKEM_TPFLAGS_VECTORCALL Py_TPFLAGS_HAVE_VECTORCALL
#endif

PyTypeObject FunctionType = [] {
  PyTypeObject t{};
#if PY_VERSION_HEX < 0x03090000
  Py_REFCNT(&t) = 1;
#else
  Py_SET_REFCNT(&t, 1);
#endif
  t.tp_name = "Latkem.function";
  t.tp_basicsize = sizeof(Function);
  t.tp_dealloc = function_dealloc;
  t.tp_vectorcall_offset = offsetof(Function, vectorcall);
  t.tp_repr = function_repr;
  t.tp_call = function_call;
  t.tp_getattro = PyObject_GenericGetAttr;
  t.tp_setattro = PyObject_GenericSetAttr;
  t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | LATKEM_TPFLAGS_VECTORCALL;
  t.tp_traverse = function_traverse;
  t.tp_clear = function_clear;
  t.tp_weaklistoffset = offsetof(Function, weakrefs);
  t.tp_methods = function_methods;
  t.tp_members = function_members;
  t.tp_getset = function_getset;
  t.tp_dictoffset = offsetof(Function, dict);
  return t;
}();

// The introspection code object: parameters then locals, no byte code.
PyObject* make_code(const FuncSpec& s) {
  Obj varnames(PyTuple_New(static_cast<Py_ssize_t>(s.params.size() + s.locals.size())));
  Py_ssize_t i = 0;
  for (const char* p : s.params) PyTuple_SET_ITEM(varnames.get(), i++, PyUnicode_InternFromString(p));
  for (const char* p : s.locals) PyTuple_SET_ITEM(varnames.get(), i++, PyUnicode_InternFromString(p));
  for (Py_ssize_t j = 0; j < i; ++j)
    if (!PyTuple_GET_ITEM(varnames.get(), j)) raise();
  Obj empty(reinterpret_cast<PyObject*>(PyCode_NewEmpty(kFileName, s.name, s.first_line)));
  Obj replace = empty.attr(Obj(PyUnicode_FromString("replace")).get());
  Obj kw(Py_BuildValue("{s:n,s:i,s:i,s:n,s:O,s:i}", "co_argcount",
                       static_cast<Py_ssize_t>(s.params.size()), "co_posonlyargcount", 0,
                       "co_kwonlyargcount", 0, "co_nlocals", i, "co_varnames",
                       varnames.get(), "co_flags", CO_OPTIMIZED | CO_NEWLOCALS));
  Obj noargs(PyTuple_New(0));
  return PyObject_Call(replace.get(), noargs.get(), kw.get());
}

Obj new_function(const FuncSpec& s) {
  if (s.params.size() > kMaxParams) {
    PyErr_Format(PyExc_SystemError, "%s() has more parameters than the entry binds", s.name);
    raise();
  }
  Obj code(make_code(s));
  Function* f = PyObject_GC_New(Function, &FunctionType);
  if (!f) raise();
  f->vectorcall = function_vectorcall;
  f->spec = &s;
  f->name = PyUnicode_InternFromString(s.name);
  f->qualname = f->name;
  Py_XINCREF(f->qualname);
  f->module = PyUnicode_FromString(kModuleName);
  f->doc = Py_None;
  Py_INCREF(Py_None);
  f->code = code.release();
  f->globals = the_dict;
  Py_INCREF(the_dict);
  f->dict = nullptr;
  f->annotations = nullptr;
  f->weakrefs = nullptr;
  f->native = true;
  f->native_calls = 0;
  Obj r(reinterpret_cast<PyObject*>(f));
  PyObject_GC_Track(r.get());
  if (!f->name || !f->module) raise();
  return r;
}

// ---------------------------------------------------------------------------
// The function table: name, first line, parameters, locals, body.

#define P(...) {__VA_ARGS__}
const FuncSpec kFunctions[] = {
    {"compress", 31, P("x", "d_u"), P("new_x", "mod"), body_compress},
    {"decompress", 38, P("x", "d_u"), P("new_x"), body_decompress},
    {"CBD", 43, P("byte_array", "eta"), P("f", "new_list", "ic", "ac", "bc", "jc"), body_CBD},
    {"PRF", 56, P("ss", "bd", "eta"), P("data", "hash_value"), body_PRF},
    {"H", 67, P("data"), P("sha3", "string", "hex_string"), body_H},
    {"mont_red", 79, P("xx"), P(), body_mont_red},
    {"mont_mul", 85, P("aa", "bb"), P("cc"), body_mont_mul},
    {"barrett_red", 92, P("xx"), P("tem", "tedd"), body_barrett_red},
    {"ntt3_mul", 133, P("fff", "ggg"), P("new_vv", "ic", "r0", "r1", "r2", "r3"), body_ntt3_mul},
    {"ntt3_mul0", 151, P("a0", "a1", "b0", "b1", "ze"), P("r0", "r1"), body_ntt3_mul0},
    {"ntt3", 168, P("vvv"), P("new_v", "ic", "kd", "l", "ind", "zeta", "j", "t"), body_ntt3},
    {"intt3", 194, P("vvv"), P("new_v", "ic", "l", "l_upper", "kd", "ind", "zeta", "j", "t"),
     body_intt3},
    {"Genkey", 265, P("dd"),
     P("ic", "s", "e", "rho", "sigma", "a", "N", "input_bytes", "new_s", "new_e", "t", "vec", "j",
       "tem", "ii", "pk_cpa", "sk_cpa"),
     body_Genkey},
    {"Enc", 333, P("pk_cpa", "ran_m", "rand"),
     P("ran1", "ran", "i", "newt", "rho", "ic", "newa", "ii", "jj", "ll", "tem", "N", "rr", "e1",
       "input_bytes", "e2", "new_r", "newu", "vec", "j", "u", "v", "newv", "kd", "u_code",
       "v_code", "uv_code"),
     body_Enc},
    {"Dec", 440, P("uv_code", "sk_cpa"),
     P("ud", "vd", "v", "ic", "j", "dem", "vv", "newu", "vec", "kd", "xx"), body_Dec},
    {"XOF", 495, P("bytes32", "int_a", "int_b"), P("input_bytes"), body_XOF},
    {"generate_mat_a", 508, P("rho", "len_a"), P("mat_A", "j", "ic", "tem"), body_generate_mat_a},
    {"G", 519, P("bytes32"), P("output"), body_G},
    {"Parse", 530, P("bytes96"), P("ii", "jj", "coeff", "d1", "d2"), body_Parse},
    {"encode", 553, P("fff", "l"), P("fff_bytes", "jj", "ii"), body_encode},
    {"decode", 566, P("fff_bits", "l"), P("ind", "rr", "coeff", "hh", "ii", "jj"), body_decode},
    {"hex_to_bits", 583, P("hex_str"), P("hex_pairs", "bit_str", "hex_pair", "byte", "tem", "ic"),
     body_hex_to_bits},
    {"bits_to_bytes", 597, P("ss"), P("ind", "byte32", "ii", "tem"), body_bits_to_bytes},
    {"kdf", 612, P("in_str", "length"), P(), body_kdf},
    {"CCA_KeyGen", 651, P(), P("dd", "cca_pk", "sk2", "H_cca_pk", "z", "cca_sk"), body_CCA_KeyGen},
    {"CCA_Enc", 667, P("cca_pk", "m_unhex"), P("m_hash", "K_bar", "rand", "c_text", "K_key"),
     body_CCA_Enc},
    {"CCA_Dec", 681, P("c_text", "cca_sk"),
     P("cpa_sk", "cpa_pk", "H_cca_pk", "z", "m2", "new_m2", "K_bar", "rand", "c2", "i"),
     body_CCA_Dec},
};
#undef P

// ---------------------------------------------------------------------------
// Tables.

constexpr int brv7(int i) {
  int r = 0;
  for (int b = 0; b < 7; ++b) r |= ((i >> b) & 1) << (6 - b);
  return r;
}

constexpr long pow_mod(long base, long e, long m) {
  long r = 1;
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

Obj int_list(const long* values, int count) {
  Obj l(PyList_New(count));
  for (int i = 0; i < count; ++i) {
    PyObject* x = PyLong_FromLong(values[i]);
    if (!x) raise();
    PyList_SET_ITEM(l.get(), i, x);
  }
  return l;
}

Obj make_zetas() {
  long v[128];
  for (int i = 0; i < 128; ++i) v[i] = 2285 * pow_mod(17, brv7(i), 3329) % 3329;
  return int_list(v, 128);
}

Obj make_zetas_inv() {
  long v[128];
  int at = 0;
  for (int start = 64; start >= 1; start >>= 1)
    for (int j = start; j < 2 * start; ++j)
      v[at++] = (3329 - 2285 * pow_mod(17, 128 - brv7(j), 3329) % 3329) % 3329;
  v[127] = 1441;
  return int_list(v, 128);
}


// ---------------------------------------------------------------------------
// Which native paths may run: the globals every function relies on, and a
// snapshot of their initial objects taken when the module body has bound them.

}  // namespace

namespace fast {
namespace {

// Globals tracked for the native paths; the 27 functions follow these.
enum Tracked : int { kQ, kN, kK, kZetas, kMath, kBinascii, kNp, kHashlib, kSha3_512,
                     kShake128, kShake256, kFirstFunction };
constexpr int kTracked = kFirstFunction + static_cast<int>(Fn::count);
static_assert(kTracked <= 64, "one bit per tracked global");

constexpr uint64_t bit(int i) { return uint64_t(1) << i; }
constexpr uint64_t fn_bit(Fn f) { return bit(kFirstFunction + static_cast<int>(f)); }

// What each body reads: tracked globals and the functions it calls.
struct Reads {
  Fn fn;
  uint64_t globals;
  std::initializer_list<Fn> calls;
};

const Reads kReads[] = {
    {Fn::compress, bit(kQ), {}},
    {Fn::decompress, bit(kQ), {}},
    {Fn::CBD, 0, {Fn::hex_to_bits}},
    {Fn::PRF, bit(kHashlib), {}},
    {Fn::H, bit(kBinascii) | bit(kHashlib), {}},
    {Fn::mont_red, 0, {}},
    {Fn::mont_mul, 0, {}},
    {Fn::barrett_red, 0, {}},
    {Fn::ntt3_mul, bit(kQ) | bit(kN) | bit(kZetas), {Fn::ntt3_mul0}},
    {Fn::ntt3_mul0, bit(kQ), {}},
    {Fn::ntt3, bit(kQ) | bit(kN) | bit(kZetas), {}},
    {Fn::intt3, bit(kQ) | bit(kN) | bit(kZetas), {}},
    {Fn::Genkey, bit(kQ) | bit(kN) | bit(kK) | bit(kMath) | bit(kNp) | bit(kBinascii),
     {Fn::G, Fn::generate_mat_a, Fn::PRF, Fn::CBD, Fn::ntt3, Fn::ntt3_mul, Fn::encode,
      Fn::bits_to_bytes}},
    {Fn::Enc, bit(kQ) | bit(kN) | bit(kNp) | bit(kBinascii),
     {Fn::hex_to_bits, Fn::decode, Fn::generate_mat_a, Fn::PRF, Fn::CBD, Fn::ntt3,
      Fn::ntt3_mul, Fn::intt3, Fn::compress, Fn::encode, Fn::bits_to_bytes}},
    {Fn::Dec, bit(kQ) | bit(kN) | bit(kNp) | bit(kBinascii),
     {Fn::hex_to_bits, Fn::decode, Fn::decompress, Fn::ntt3, Fn::ntt3_mul, Fn::intt3,
      Fn::compress}},
    {Fn::XOF, bit(kN) | bit(kShake128), {}},
    {Fn::generate_mat_a, bit(kN) | bit(kNp), {Fn::XOF, Fn::Parse}},
    {Fn::G, bit(kSha3_512), {}},
    {Fn::Parse, bit(kQ) | bit(kN), {}},
    {Fn::encode, bit(kN), {}},
    {Fn::decode, bit(kN) | bit(kNp), {}},
    {Fn::hex_to_bits, 0, {}},
    {Fn::bits_to_bytes, 0, {}},
    {Fn::kdf, bit(kShake256), {}},
    {Fn::CCA_KeyGen, bit(kBinascii), {Fn::Genkey, Fn::H}},
    {Fn::CCA_Enc, bit(kBinascii), {Fn::H, Fn::G, Fn::Enc, Fn::kdf}},
    {Fn::CCA_Dec, bit(kN) | bit(kBinascii),
     {Fn::Dec, Fn::bits_to_bytes, Fn::G, Fn::Enc, Fn::H, Fn::kdf}},
};

// For each function: every tracked global it relies on, through its callees.
uint64_t closure[static_cast<int>(Fn::count)];

void compute_closures() {
  const int count = static_cast<int>(Fn::count);
  for (const Reads& r : kReads) {
    uint64_t m = r.globals;
    for (Fn c : r.calls) m |= fn_bit(c);
    closure[static_cast<int>(r.fn)] = m;
  }
  for (bool changed = true; changed;) {
    changed = false;
    for (int i = 0; i < count; ++i) {
      uint64_t m = closure[i];
      for (int j = 0; j < count; ++j)
        if (m & fn_bit(static_cast<Fn>(j))) m |= closure[j];
      if (m != closure[i]) {
        closure[i] = m;
        changed = true;
      }
    }
  }
}

// An attribute of a host module the bodies call.
struct Attr {
  int owner;
  const char* name;
  PyObject* initial;
};
Attr attrs[] = {{kMath, "sqrt", nullptr},       {kMath, "gcd", nullptr},
                {kBinascii, "hexlify", nullptr}, {kBinascii, "unhexlify", nullptr},
                {kNp, "zeros", nullptr},         {kHashlib, "sha3_256", nullptr},
                {kHashlib, "shake_256", nullptr}};

bool ready = false;
bool genuine_builtins = false;
PyObject* initial[kTracked];
PyObject* tracked_names[kTracked];
PyObject* zetas_items = nullptr;  // a tuple of the table's initial entries

// The dictionaries whose changes invalidate the cached answer: the module's
// and those of the host modules whose attributes the bodies call.
constexpr int kWatched = 5;
PyObject* watched[kWatched];
#if PY_VERSION_HEX >= 0x030C0000
int watcher_id = -1;
bool dirty = true;
int on_dict_change(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) {
  dirty = true;
  return 0;
}
#else
uint64_t versions[kWatched];
#endif

uint64_t intact_bits = 0;
bool params_ok = false;
native::Params current{};

bool is_builtin(PyObject* obj, const char* name) {
  if (!obj || !PyCFunction_Check(obj)) return false;
  PyCFunctionObject* f = reinterpret_cast<PyCFunctionObject*>(obj);
  return std::strcmp(f->m_ml->ml_name, name) == 0 && PyModule_Check(f->m_self) &&
         std::strcmp(PyModule_GetName(f->m_self) ? PyModule_GetName(f->m_self) : "",
                     "builtins") == 0;
}

bool exact_int(PyObject* v, long& out) {
  if (!v || !PyLong_CheckExact(v)) return false;
  int overflow = 0;
  out = PyLong_AsLongAndOverflow(v, &overflow);
  if (overflow || (out == -1 && PyErr_Occurred())) {
    PyErr_Clear();
    return false;
  }
  return true;
}

// The module dictionary the snapshot was taken of.
PyObject* tracked_dict = nullptr;

PyObject* module_global(PyObject* name) {
  PyObject* v = PyDict_GetItemWithError(tracked_dict, name);
  if (!v) PyErr_Clear();
  return v;
}

PyObject* attr_of(PyObject* module, const char* name) {
  if (!module || !PyModule_Check(module)) return nullptr;
  PyObject* v = PyDict_GetItemString(PyModule_GetDict(module), name);
  return v;
}

void revalidate() {
  uint64_t bits = 0;
  for (int i = 0; i < kTracked; ++i) {
    PyObject* v = module_global(tracked_names[i]);
    bool same = v == initial[i];
    if (!same && (i == kQ || i == kN || i == kK)) {
      long a, b;
      same = exact_int(v, a) && exact_int(initial[i], b) && a == b;
    }
    if (same) bits |= bit(i);
  }
  for (const Attr& a : attrs) {
    if (!(bits & bit(a.owner)) || attr_of(initial[a.owner], a.name) != a.initial)
      bits &= ~bit(a.owner);
  }
  intact_bits = bits;
  long kk, eta1, eta2, du, dv;
  params_ok = exact_int(module_global(names.kk), kk) && exact_int(module_global(names.eta1), eta1) &&
              exact_int(module_global(names.eta2), eta2) && exact_int(module_global(names.du), du) &&
              exact_int(module_global(names.dv), dv);
  if (params_ok) {
    current = native::Params{int(kk), int(eta1), int(eta2), int(du), int(dv)};
    params_ok = kk == current.kk && eta1 == current.eta1 && eta2 == current.eta2 &&
                du == current.du && dv == current.dv && native::params_valid(current);
  }
#if PY_VERSION_HEX >= 0x030C0000
  dirty = false;
#else
  for (int i = 0; i < kWatched; ++i)
    versions[i] = reinterpret_cast<PyDictObject*>(watched[i])->ma_version_tag;
#endif
}

void refresh() {
#if PY_VERSION_HEX >= 0x030C0000
  if (dirty) revalidate();
#else
  for (int i = 0; i < kWatched; ++i) {
    if (reinterpret_cast<PyDictObject*>(watched[i])->ma_version_tag != versions[i]) {
      revalidate();
      return;
    }
  }
#endif
}

// The table `zetas` is a list its users may change in place.
bool zetas_unchanged() {
  PyObject* z = initial[kZetas];
  const Py_ssize_t count = PyTuple_GET_SIZE(zetas_items);
  if (PyList_GET_SIZE(z) != count) return false;
  PyObject** now = reinterpret_cast<PyListObject*>(z)->ob_item;
  for (Py_ssize_t i = 0; i < count; ++i)
    if (now[i] != PyTuple_GET_ITEM(zetas_items, i)) return false;
  return true;
}

}  // namespace

bool intact(Fn fn) {
  if (!ready || !genuine_builtins || module_dict() != tracked_dict) return false;
  refresh();
  const uint64_t need = closure[static_cast<int>(fn)];
  if ((intact_bits & need) != need) return false;
  return !(need & bit(kZetas)) || zetas_unchanged();
}

bool params(native::Params& p) {
  if (!ready || module_dict() != tracked_dict) return false;
  refresh();
  p = current;
  return params_ok;
}

// Records the initial objects once the module body has bound them; on any
// failure the native paths simply stay off.
void snapshot() {
  ready = false;
  Py_INCREF(the_dict);
  Py_XSETREF(tracked_dict, the_dict);
  compute_closures();
  genuine_builtins = reinterpret_cast<PyObject*>(&PyRange_Type) == builtins.range &&
                     is_builtin(builtins.round, "round") &&
                     is_builtin(builtins.format, "format") && is_builtin(builtins.print, "print");
  PyObject* fixed[kFirstFunction] = {names.q,        names.n,         names.k,
                                     names.zetas,    names.math,      names.binascii,
                                     names.np,       names.hashlib,   names.sha3_512,
                                     names.shake_128, names.shake_256};
  for (int i = 0; i < kFirstFunction; ++i) tracked_names[i] = fixed[i];
  PyObject* fns[] = {
#define LATKEM_FN_NAME(nm) names.nm,
      LATKEM_FUNCTIONS(LATKEM_FN_NAME)
#undef LATKEM_FN_NAME
  };
  for (int i = 0; i < static_cast<int>(Fn::count); ++i) tracked_names[kFirstFunction + i] = fns[i];
  for (int i = 0; i < kTracked; ++i) {
    PyObject* v = module_global(tracked_names[i]);
    if (!v) return;
    Py_INCREF(v);
    Py_XSETREF(initial[i], v);
  }
  if (!PyList_CheckExact(initial[kZetas])) return;
  Py_XSETREF(zetas_items, PyList_AsTuple(initial[kZetas]));
  if (!zetas_items) {
    PyErr_Clear();
    return;
  }
  for (Attr& a : attrs) {
    a.initial = attr_of(initial[a.owner], a.name);
    if (!a.initial) return;
    Py_INCREF(a.initial);
  }
  PyObject* dicts[kWatched] = {tracked_dict, nullptr, nullptr, nullptr, nullptr};
  const int owners[] = {kMath, kBinascii, kNp, kHashlib};
  for (int i = 0; i < 4; ++i) {
    if (!PyModule_Check(initial[owners[i]])) return;
    dicts[i + 1] = PyModule_GetDict(initial[owners[i]]);
  }
  for (int i = 0; i < kWatched; ++i) {
    Py_INCREF(dicts[i]);
    Py_XSETREF(watched[i], dicts[i]);
  }
#if PY_VERSION_HEX >= 0x030C0000
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
  dirty = true;
#endif
  revalidate();
  ready = true;
}

}  // namespace fast

namespace {

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
  f.line = 708;
  Obj modname = GLOBAL(__name__);
  if (!modname.eq(Obj::borrow(names.__main__))) return;
  Obj print = Obj::borrow(builtins.print);
  f.line = 710;
  assign_pair(GLOBAL(CCA_KeyGen)(), names.cca_pk1, names.cca_sk1);
  f.line = 711;
  print(text("cca_pk:"), GLOBAL(cca_pk1));
  f.line = 712;
  print(text("cca_sk:"), GLOBAL(cca_sk1));
  f.line = 713;
  set_global(names.new_m, randbytes(GLOBAL(random), num(32)));
  f.line = 715;
  assign_pair(GLOBAL(CCA_Enc)(GLOBAL(cca_pk1), GLOBAL(new_m)), names.Cipher, names.scr_key);
  f.line = 716;
  print(text("Cipher:"), GLOBAL(Cipher));
  f.line = 717;
  print(text("K1:"), GLOBAL(scr_key));
  f.line = 718;
  set_global(names.new_k, GLOBAL(CCA_Dec)(GLOBAL(Cipher), GLOBAL(cca_sk1)));
  f.line = 719;
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
  f.line = 1;
  set_global(names.math, import("math", nullptr));
  f.line = 2;
  set_global(names.random, import("random", nullptr));
  f.line = 3;
  set_global(names.binascii, import("binascii", nullptr));
  f.line = 4;
  set_global(names.np, import("numpy", nullptr));
  f.line = 5;
  set_global(names.hashlib, import("hashlib", nullptr));
  f.line = 6;
  {
    Obj fromlist = tuple_of({Obj::borrow(names.sha3_256), Obj::borrow(names.sha3_512),
                             Obj::borrow(names.shake_128), Obj::borrow(names.shake_256)});
    Obj mod = import("hashlib", fromlist.get());
    for (PyObject* nm : {names.sha3_256, names.sha3_512, names.shake_128, names.shake_256})
      set_global(nm, import_from(mod, nm));
  }
  f.line = 9;
  set_global(names.q, num(3329));
  f.line = 11;
  set_global(names.n, num(256));
  f.line = 13;
  set_global(names.k, num(13));
  f.line = 15;
  set_global(names.eta1, num(3));
  set_global(names.eta2, num(2));
  f.line = 19;
  set_global(names.kk, num(2));
  f.line = 22;
  set_global(names.bar_k, num(12));
  f.line = 24;
  set_global(names.bar_r, num(20158));
  f.line = 26;
  set_global(names.ted, to_int(GLOBAL(q) / num(2)));
  f.line = 28;
  set_global(names.du, num(10));
  set_global(names.dv, num(4));
  bind_functions(f, "compress", "kdf");
  f.line = 619;
  set_global(names.tree, make_tree());
  f.line = 627;
  set_global(names.mont, num(2285));
  f.line = 630;
  set_global(names.mont_inv, num(169));
  f.line = 633;
  set_global(names.zetas, make_zetas());
  f.line = 642;
  set_global(names.zetas_inv, make_zetas_inv());
  bind_functions(f, "CCA_KeyGen", "CCA_Dec");
  fast::snapshot();
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

int64_t current_interpreter() {
#if PY_VERSION_HEX >= 0x03090000
  return PyInterpreterState_GetID(PyInterpreterState_Get());
#else
  return PyInterpreterState_GetID(PyThreadState_Get()->interp);
#endif
}

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
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyObject* modules = PyImport_GetModuleDict();
    PyObject* entry = PyDict_GetItemWithError(modules, names.Latkem);
    if (entry == the_module && PyDict_DelItem(modules, names.Latkem) < 0) PyErr_Clear();
    PyErr_Clear();
    PyErr_Restore(type, value, tb);
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
  if (PyType_Ready(&FunctionType) < 0) {
    drop_module();
    return -1;
  }
  if (!tb_codes && !(tb_codes = PyDict_New())) {
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
  Frame f{1, false};
  try {
    run_body(f);
    return 0;
  } catch (const HostError&) {
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (...) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "unexpected failure in Latkem");
  }
  add_traceback("init Latkem", f.line);
  drop_module();
  return -1;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, kModuleName, nullptr, 0, nullptr, module_slots, nullptr, nullptr,
    nullptr,
};

}  // namespace
}  // namespace latkem

// The module's only exported symbol.
extern "C" __attribute__((visibility("default"))) PyObject* PyInit_Latkem(void) { return PyModuleDef_Init(&latkem::module_def); }
