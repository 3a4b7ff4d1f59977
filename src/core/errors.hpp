// Failures that travel from the kernels to the module boundary.
#pragma once
#include <stdexcept>
#include <string>

namespace sonaloc {

// A broken internal invariant (an index outside an array, a failed consistency
// check). The boundary turns it into PanicException.
struct InternalFault : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// A computation refusing its parameters with one of the fixed user-facing
// messages. The boundary turns it into ValueError.
struct ValueError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

[[noreturn]] inline void fault(const std::string& what) { throw InternalFault(what); }

}  // namespace sonaloc
