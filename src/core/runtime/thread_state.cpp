#include "core/runtime/thread_state.hpp"

#include <exception>

#include "core/runtime/interrupt.hpp"

namespace sonaloc::thread_state {
namespace {

struct Rehearsal {};

}  // namespace

void prepare() noexcept {
    // This flag lives in the library's thread-local block: reading it puts
    // the block in place.
    thread_local bool prepared = false;
    if (prepared) return;
    (void)interrupt::current();
    // One throw and catch sets up the runtime's exception state (and the
    // unwinder's first look at the loaded objects) while memory is there.
    try {
        throw Rehearsal{};
    } catch (const Rehearsal&) {
    }
    (void)std::uncaught_exceptions();
    prepared = true;
}

}  // namespace sonaloc::thread_state
