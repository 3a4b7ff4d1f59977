// Signals during long calls: the entries hold the interpreter lock
// throughout, so the calling thread asks the interpreter for pending signals
// between its chunks of work. A handler that raises (KeyboardInterrupt for
// Ctrl-C) stops the call, which then returns NULL with that exception set.
#pragma once
#include "core/runtime/interrupt.hpp"

namespace sonaloc::py {

// Installs the check the core asks; once, when the module is created.
void install_signal_check() noexcept;

// The span of one entry on its calling thread: prepares the thread's state
// (see core/runtime/thread_state.hpp) and opens the interruptible call.
class EntryScope {
public:
    EntryScope() noexcept;
    EntryScope(const EntryScope&) = delete;
    EntryScope& operator=(const EntryScope&) = delete;

private:
    interrupt::Call call_;
};

}  // namespace sonaloc::py
