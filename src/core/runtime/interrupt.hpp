// Stopping a call early (Ctrl-C): the embedding layer installs a check that
// the thread which made the call asks now and then; once it says stop, every
// thread working for that call gives up at its next check point and the call
// unwinds with Interrupted, releasing what it allocated.
#pragma once
#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <exception>

namespace sonaloc::interrupt {

// Thrown where a call stops. The reason (a pending signal's exception) is
// already with the caller, set by the check that said stop.
struct Interrupted : std::exception {
    const char* what() const noexcept override { return "interrupted"; }
};

// Asked only on the thread that made the call; true means stop. Without an
// installed check no call ever stops.
using Check = bool (*)();
void install(Check check) noexcept;

// One call into the library, opened on the calling thread for its duration
// (a call made inside another, from a signal handler, has its own).
class Call {
public:
    Call() noexcept;
    ~Call();
    Call(const Call&) = delete;
    Call& operator=(const Call&) = delete;

private:
    friend class Working;
    friend bool stop_requested() noexcept;
    friend bool polls() noexcept;
    friend bool stopping() noexcept;
    Call* outer_;
    pthread_t owner_;
    std::atomic<bool> stop_{false};
};

// A chunk of a call's work on some thread: the chunk's check points follow
// that call (null: work outside any call, which never stops).
class Working {
public:
    explicit Working(Call* call) noexcept;
    ~Working();
    Working(const Working&) = delete;
    Working& operator=(const Working&) = delete;

private:
    Call* saved_;
};

// The call the current thread works for, or null.
Call* current() noexcept;

// True once the current call is to stop; on the calling thread this asks the
// installed check (cheap: a few nanoseconds while no signal is pending).
bool stop_requested() noexcept;

// True when the current thread is the one that made the current call (it may
// ask the check, so waiting on others should wake up now and then).
bool polls() noexcept;

// True once the current call is to stop, without asking the check.
bool stopping() noexcept;

// A check point of long work: throws Interrupted once the call is to stop.
// Place it every few thousand elements, not in the innermost loops.
inline void check() {
    if (stop_requested()) throw Interrupted{};
}

// check() at every `period`-th step of a loop (period a power of two).
inline void check_every(std::size_t step, std::size_t period) {
    if ((step & (period - 1)) == 0) check();
}

}  // namespace sonaloc::interrupt
