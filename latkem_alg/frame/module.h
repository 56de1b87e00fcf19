// What the units of the module frame share among themselves: the module
// object, its dictionary and builtins, and the making of function objects.
#pragma once

#include "frame/latkem.h"

namespace latkem {

extern const char kFileName[];    // of every traceback entry
extern const char kModuleName[];  // "Latkem"

// The one module object of the process, its dictionary and the builtins
// module, set at initialisation.
extern PyObject* the_module;
extern PyObject* the_dict;
extern PyObject* the_builtins;

// Readies the function type; false with the host's error set.
bool function_type_ready();
// A new function object for `s`, bound to the module's dictionary.
Obj new_function(const FuncSpec& s);

}  // namespace latkem
