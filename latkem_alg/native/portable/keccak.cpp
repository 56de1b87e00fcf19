// Keccak-f[1600] on one state, in plain C++.
#include "../backend.h"
#include "../keccak_perm.h"

namespace latkem {
namespace native {
namespace portable {

void keccak_f1600(uint64_t state[25]) { keccak_permute(state); }

}  // namespace portable
}  // namespace native
}  // namespace latkem
