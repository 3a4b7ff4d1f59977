// Per-thread state that must exist before memory can run out.
//
// The library is loaded after the process started, so the C++ runtime's
// per-thread exception state and this library's thread-local data are
// allocated on a thread's first throw or first access. Should that allocation
// fail (a thread that throws std::bad_alloc because memory is exhausted), the
// C library ends the process. Every thread that runs library code therefore
// prepares itself first: each worker when it starts, a calling thread when it
// enters the library.
#pragma once

namespace sonaloc::thread_state {

// Idempotent and cheap after the first time on a thread.
void prepare() noexcept;

}  // namespace sonaloc::thread_state
