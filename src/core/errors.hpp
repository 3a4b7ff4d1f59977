// Failures that travel from the kernels to the module boundary.
#pragma once
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

namespace sonaloc {

// A broken internal invariant (an index outside an array, a failed consistency
// check). The boundary turns it into PanicException.
struct InternalFault : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// A computation refusing its parameters with one of the fixed user-facing
// messages. The boundary turns it into ValueError. The message may quote
// caller text with embedded NULs, so it is kept whole beside what().
struct ValueError : std::runtime_error {
    explicit ValueError(const std::string& message)
        : std::runtime_error(message), message_(std::make_shared<const std::string>(message)) {}
    explicit ValueError(const char* message) : ValueError(std::string(message)) {}
    std::string_view message() const noexcept { return *message_; }

private:
    std::shared_ptr<const std::string> message_;
};

[[noreturn]] inline void fault(const std::string& what) { throw InternalFault(what); }

}  // namespace sonaloc
