#include "python/signals.hpp"

#include <Python.h>

#include "core/runtime/thread_state.hpp"

namespace sonaloc::py {
namespace {

// Runs the handlers of pending signals (only the main thread has any); true
// when one raised, its exception now set.
bool signal_raised() { return PyErr_CheckSignals() != 0; }

}  // namespace

void install_signal_check() noexcept { interrupt::install(signal_raised); }

EntryScope::EntryScope() noexcept { thread_state::prepare(); }

}  // namespace sonaloc::py
