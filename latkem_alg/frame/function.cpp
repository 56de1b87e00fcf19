// The module's function objects: their type, the argument binding, the entry
// every call goes through, and the table they are made from.
#include "guard/guard.h"
#include "frame/module.h"
#include "frame/probe.h"

#include <structmember.h>

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

namespace latkem {

// The globals of the function whose body is running on this thread (a
// function keeps the dictionary of the module object that made it).
thread_local PyObject* running_globals = nullptr;

PyObject* module_dict() { return running_globals ? running_globals : the_dict; }

// ---------------------------------------------------------------------------
// The table: each function's name, first line, parameters, locals and body.

#define LATKEM_UNPAREN(...) __VA_ARGS__
#define LATKEM_SPEC(nm, line, params, locals, ...) \
  {#nm, line, {LATKEM_UNPAREN params}, {LATKEM_UNPAREN locals}, body_##nm},
const FuncSpec kFunctions[kFunctionCount] = {LATKEM_FUNCTIONS(LATKEM_SPEC)};
#undef LATKEM_SPEC

// ---------------------------------------------------------------------------
// Function objects.

namespace {

// The most parameters a module function has.
constexpr size_t kMaxParams = 8;

struct Function {
  PyObject_HEAD
  vectorcallfunc vectorcall;
  const FuncSpec* spec;
  Fn fn;  // its row of the table
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
  Py_ssize_t native_calls;  // calls answered by the native path (results and errors)
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
  const Fn fn = fo->fn;
  // The traceback entry "Latkem.<name>", made only when something failed.
  auto add_entry = [fn](int line) { add_traceback(static_cast<int>(fn), line); };
  const interp::Entered entered;
  const Call call;  // nested calls keep the host's lock
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
  Frame f{fn, s.first_line, fo->native};
  PyObject* result = nullptr;
  {
#ifdef LATKEM_WIPE_PROBE
    const probe::Call probe_call;  // test builds: what the body leaves in memory
#endif
    try {
      Obj a[kMaxParams];
      for (size_t i = 0; i < s.params.size(); ++i) a[i] = Obj::borrow(bound[i]);
      result = s.body(f, a).release();
    } catch (const HostError&) {
    } catch (const std::bad_alloc&) {
      PyErr_NoMemory();
    } LATKEM_LET_THREAD_END catch (...) {
      if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "unexpected failure in Latkem");
    }
  }
  // A result, or an error the native path raised at the host path's statement.
  if (f.went_native) ++const_cast<Function*>(fo)->native_calls;
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

// What the native path of the function relies on, as the guard checks it.
PyObject* get_reads(PyObject* self, void*) {
  return guard::reads(reinterpret_cast<Function*>(self)->fn);
}

// Which native core the process runs: "avx2" or "portable".
PyObject* get_core(PyObject*, void*) {
  return PyUnicode_FromString(native::backend_name());
}

// Selects the native core of the whole process by name, for the calls that
// begin from then on: a core of this build that the processor runs.
int set_core(PyObject*, PyObject* value, void*) {
  if (!value) {
    PyErr_SetString(PyExc_AttributeError, "cannot delete _core");
    return -1;
  }
  if (!PyUnicode_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "_core must be set to a string object");
    return -1;
  }
  Py_ssize_t size;
  const char* name = PyUnicode_AsUTF8AndSize(value, &size);
  if (!name) return -1;
  if (std::strlen(name) != static_cast<size_t>(size) || !native::select_backend(name)) {
    PyErr_Format(PyExc_ValueError, "no native core %R runs here", value);
    return -1;
  }
  return 0;
}

// Whether this build reads the interpreter's internals it was checked
// against, or runs every function's host path (interp.h).
PyObject* get_internals(PyObject*, void*) { return PyUnicode_FromString(interp::mode()); }

PyGetSetDef function_getset[] = {
    {"_native", get_native, set_native, "whether calls may take the native path", nullptr},
    {"_core", get_core, set_core, "the native core in use", nullptr},
    {"_internals", get_internals, nullptr, "checked internals, or host paths only", nullptr},
    {"_reads", get_reads, nullptr, "the globals the native path relies on", nullptr},
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
     "how many calls the native path has answered (with a result or an error)"},
    {nullptr, 0, 0, 0, nullptr},
};

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};


PyTypeObject FunctionType = [] {
  PyTypeObject t{};
  interp::set_static_refcount(&t);
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

}  // namespace

bool function_type_ready() { return PyType_Ready(&FunctionType) == 0; }

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
  f->fn = static_cast<Fn>(&s - kFunctions);
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


}  // namespace latkem
