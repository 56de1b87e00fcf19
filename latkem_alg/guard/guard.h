// The native-path guard.
//
// A body may compute its result with the typed core in native/ instead of
// statement by statement on host objects only when the result is provably the
// same.  The guard says when: every global the function's row in frame/table.h
// names, directly or through the functions it calls, still holds what the
// module bound (or, for the parameters, an exact int the core supports);
// every host module behind those globals is still a plain module with the
// very attributes the bodies call; the builtins the bodies use are the host's
// own; and the thread has the recursion depth the host path would need.
// Anything else runs the host path, which raises the exact errors.
#pragma once

#include "frame/latkem.h"
#include "native/core.h"

namespace latkem {
namespace guard {

// Whether `fn` may answer from the native path now.  Cheap: the answer for
// the globals is cached against the watched dictionaries and worked out again
// when one of them changes; the module types, the table `zetas` and the
// recursion depth are looked at on every call.
bool allows(Fn fn);

// The current kk, eta1, eta2, du and dv.  Those a function reads are valid
// whenever `allows` said yes for it; the others hold supported placeholders.
const native::Params& params();

// Whether `fn` may still answer from the native path with the parameters `p`
// it read when the guard allowed it: asked again once the host's lock is
// taken back, since another thread may have rebound a global meanwhile.
bool still_allows(Fn fn, const native::Params& p);

// Records what the module bound; run once the module body has bound it.  On
// any failure the native paths simply stay off.
void snapshot(PyObject* dict);

// The names `fn` relies on through its callees, as the guard checks them:
// globals, functions and "module.attribute"; a new frozenset.
PyObject* reads(Fn fn);

// How many nested host calls the host path of `fn` may make below its own
// entry, at most.
int host_depth(Fn fn);

}  // namespace guard
}  // namespace latkem
