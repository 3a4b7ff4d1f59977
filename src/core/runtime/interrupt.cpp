#include "core/runtime/interrupt.hpp"

namespace sonaloc::interrupt {
namespace {

std::atomic<Check> g_check{nullptr};

// The call this thread makes or works for. The thread's block of this
// library's thread-local data is put in place before any work (see
// thread_state.hpp), so reading it never allocates.
thread_local Call* t_call = nullptr;

}  // namespace

void install(Check check) noexcept { g_check.store(check, std::memory_order_release); }

Call::Call() noexcept : outer_(t_call), owner_(pthread_self()) { t_call = this; }

Call::~Call() { t_call = outer_; }

Working::Working(Call* call) noexcept : saved_(t_call) {
    t_call = call;
}

Working::~Working() { t_call = saved_; }

Call* current() noexcept { return t_call; }

bool stopping() noexcept {
    const Call* c = t_call;
    return c != nullptr && c->stop_.load(std::memory_order_relaxed);
}

bool polls() noexcept {
    const Call* c = t_call;
    return c != nullptr && pthread_equal(c->owner_, pthread_self()) &&
           g_check.load(std::memory_order_relaxed) != nullptr;
}

bool stop_requested() noexcept {
    Call* c = t_call;
    if (c == nullptr) return false;
    if (c->stop_.load(std::memory_order_relaxed)) return true;
    if (!pthread_equal(c->owner_, pthread_self())) return false;
    const Check check = g_check.load(std::memory_order_acquire);
    if (check == nullptr || !check()) return false;
    c->stop_.store(true, std::memory_order_relaxed);
    return true;
}

}  // namespace sonaloc::interrupt
