// Shared declarations of the Latkem module: the handle (obj.h), the function
// table (table.h), the reported lines (lines.h), the frame a body runs in, and
// the bodies themselves.  Nothing here needs the native core: the native paths
// are the bridge's (bridge/paths.h), the guard's word the guard's (guard/).
//
// How a body is written.  Each body is the function's statements in order,
// each statement preceded by `f.line = line::<function>::<statement>`, the
// line a traceback entry reports while it runs (lines.h); where a line stands
// for a statement the code does not spell out (a loop header, a condition),
// its name says which.
//
// Evaluation order.  The host evaluates a call `g(x(a), b)` by looking up `g`
// first, then evaluating the arguments left to right, then calling; a global
// that is missing (or a lookup that fails) therefore fails before any of the
// arguments runs.  C++ leaves the order of `GLOBAL(g)(GLOBAL(x)(a), b)`
// unspecified, so wherever an argument itself looks up a global or calls out,
// the bodies name the callee first (`Obj g = GLOBAL(g);`) and call it after.
// Those statements are written out by hand on purpose: folding them back into
// one expression changes which error a missing or failing global raises.
#pragma once

#include "frame/lines.h"
#include "frame/obj.h"
#include "frame/table.h"

#include <utility>

namespace latkem {

// The module's functions, in table order.
#define LATKEM_FN_ID(nm, ...) nm,
enum class Fn : int { LATKEM_FUNCTIONS(LATKEM_FN_ID) count };
#undef LATKEM_FN_ID
constexpr int kFunctionCount = static_cast<int>(Fn::count);

// Interned names: every global and attribute the bodies use.
struct Names {
#define LATKEM_NAME_FIELD(nm, ...) PyObject* nm = nullptr;
  LATKEM_GLOBALS(LATKEM_NAME_FIELD)
  LATKEM_FUNCTIONS(LATKEM_NAME_FIELD)
  LATKEM_OTHER_NAMES(LATKEM_NAME_FIELD)
#undef LATKEM_NAME_FIELD
};
extern Names names;
bool intern_names();

// Looks a global up at the time of use: module dictionary, then builtins;
// NameError "name '%U' is not defined" when both lack it.
Obj lookup_global(PyObject* name);
#define GLOBAL(nm) ::latkem::lookup_global(::latkem::names.nm)
#define NAME(nm) (::latkem::names.nm)

// The module dictionary the running body reads (a function keeps the
// dictionary of the module object that made it).
PyObject* module_dict();

// How many calls of the module's functions are running on this thread; the
// function entry counts them with a `Call`.  Only the outermost one releases
// the host's lock (bridge::unlocked).  A call made inside another (by its host
// path, by the failing statement its native path runs, or by user code it
// calls) keeps it: so while a host path runs, other threads act only where the
// host path itself lets them (in user code, and in the host's own calls that
// release the lock), and a native path that has the lock back needs to ask the
// guard again only about its own release.
inline thread_local int calls_running = 0;

struct Call {
  Call() { ++calls_running; }
  ~Call() { --calls_running; }
  Call(const Call&) = delete;
  Call& operator=(const Call&) = delete;
};

// The running statement of a body, for the traceback entry, and the native
// path of its function.
struct Frame {
  Fn fn;
  int line;
  bool native;               // the function's switch `_native`
  bool went_native = false;  // the outcome came from the native path: its result,
                             // or the failing statement it ran (see bridge/kem.cpp)
  // The parameters when the guard allowed the native path: a native::Params,
  // kept as plain words so that the frame, and the bodies with it, need no
  // header of the core (guard/guard.cpp checks that it fits).
  int guard_params[5] = {};

  // The one way a body takes its native path:
  //     if (Obj r = f.try_native(bridge::native_X, args...)) return r;
  // `native_X(args..., result)` runs only when the guard allows the native
  // path for this function; it answers true with `result` set, or false to
  // leave the call to the host path (an input it does not take as it is).
  template <class Native, class... A>
  Obj try_native(Native&& native_fn, A&&... args) {
    if (!native || !guard_allows()) return Obj();
    Obj result;
    if (!native_fn(std::forward<A>(args)..., result)) return Obj();
    went_native = true;
    return result;
  }

  // For a native path that has worked out where the host path would fail:
  // runs on host objects only that failing statement, at its line, so that
  // the host raises its own exception and the entry has the host path's line.
  // Sound only when every statement before it has no effect but its result,
  // and reads nothing the guard does not vouch for.  The guard is asked
  // again first: the native path may have released the host's lock, and
  // another thread may have rebound what the statements read; then, as
  // when the statement does not raise after all, it answers false and the
  // host path takes the call, from its first statement.
  //     return f.fail_at(line::Dec::decompress_u, [&] { ... });
  template <class Statement>
  bool fail_at(int at, Statement&& statement) {
    if (!guard_holds()) return false;
    const int before = line;
    went_native = true;
    line = at;
    statement();
    went_native = false;
    line = before;
    return false;
  }

  // Whether the guard's word still holds, once the native path has the
  // host's lock back: to be asked before any host statement runs or any
  // callee is called after a release.
  bool guard_holds() const;

  // Whether the guard allows the native path for this function now; if so,
  // keeps the parameters it read (guard/guard.cpp).
  bool guard_allows();
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

// The table, one entry per function in binding order (function.cpp).
extern const FuncSpec kFunctions[kFunctionCount];

// Bodies, one per module function, in the units named after their subsystem.
#define LATKEM_DECLARE_BODY(nm, ...) Obj body_##nm(Frame& f, Obj* a);
LATKEM_FUNCTIONS(LATKEM_DECLARE_BODY)
#undef LATKEM_DECLARE_BODY

// `random.randbytes(n)`, or for a `random` that lacks it but has
// `getrandbits`, the same bytes through `getrandbits(8 * n).to_bytes(n,
// "little")` (hosts before 3.9).  Without either, the error names randbytes.
Obj randbytes(const Obj& random_module, const Obj& count);

// Adds the traceback entry "Latkem.<name>" (or "init Latkem" for
// kInitEntry) at `line` to the exception being raised.
constexpr int kInitEntry = kFunctionCount;
void add_traceback(int entry, int line);

}  // namespace latkem
