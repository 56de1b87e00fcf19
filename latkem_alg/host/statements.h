// Statement helpers the host bodies share (statements.cpp), and the host
// statements a native path runs when it has worked out where the host path
// would fail (bridge/).  Every one runs on host objects only, in the order
// the host evaluates the statement it stands for.
#pragma once

#include "bridge/paths.h"
#include "frame/latkem.h"

#include <initializer_list>

namespace latkem {

// `[:]`
Obj whole();

// np.zeros([dims...])
Obj zeros(std::initializer_list<Obj> dims);

// raise ValueError(message), through the builtin fixed at initialisation.
[[noreturn]] void value_error(const char* message);

// binascii.<name>, looked up at the time of use.
Obj binascii_fn(PyObject* name);

// binascii.hexlify(x) and binascii.unhexlify(x), the callee looked up after
// `x` has been computed.
Obj hexlify(const Obj& x);
Obj unhexlify(const Obj& x);

// `rows[count, ...]` on the float64 array of `count` rows of n that decode
// makes of too short a bit string: the index error of the statement that
// reads the first missing row (`rest` the remaining indices, `[:]` or 0).
void missing_row(size_t count, const Obj& rest);

// The statements of CCA_KeyGen after the draw of `z` (kem.cpp).
Obj keygen_rest(Frame& f, const Obj& cca_pk, const Obj& sk2, const Obj& H_cca_pk, Obj z,
                bool shortcut);

// The rejection key of CCA_Dec (kem.cpp).
Obj rejection_key(Frame& f, const Obj& z, const Obj& c_text);

}  // namespace latkem
