#include "core/runtime/parallel.hpp"

#include "core/runtime/interrupt.hpp"
#include "core/runtime/system.hpp"
#include "core/runtime/thread_state.hpp"

#include <pthread.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <exception>
#include <limits>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

namespace sonaloc::parallel {
namespace {

// More workers than this would only cost memory and scheduling.
constexpr std::size_t kMaxThreads = 1024;

struct Job {
    const std::function<void(std::size_t, std::size_t)>* body = nullptr;
    std::size_t n = 0;
    std::size_t grain = 1;
    std::size_t chunks = 0;
    std::size_t last = 0;  // chunks handed out at most: `chunks`, fewer once stopped
    std::size_t next = 0;  // next chunk to hand out
    std::size_t done = 0;  // chunks finished
    interrupt::Call* call = nullptr;  // the call the work is for
    std::exception_ptr error;
    std::size_t error_chunk = std::numeric_limits<std::size_t>::max();
};

class Pool {
public:
    explicit Pool(std::size_t wanted) {
        // Start as many workers as the system grants; the calling thread is
        // always one of the `threads_`. Each worker prepares its thread state
        // before the pool is used.
        for (std::size_t i = 1; i < wanted; ++i) {
            try {
                std::thread([this] { work(); }).detach();
                ++threads_;
            } catch (...) {
                break;
            }
        }
        std::unique_lock lock(mutex_);
        ready_cv_.wait(lock, [&] { return ready_ + 1 == threads_; });
    }

    std::size_t threads() const noexcept { return threads_; }

    void run(Job& job) {
        {
            std::lock_guard lock(mutex_);
            queue_.push_back(&job);
        }
        work_cv_.notify_all();
        // The caller works on its own job until every chunk is handed out,
        // then waits for the chunks other threads are still running. Between
        // chunks it asks whether the call is to stop; if so, no further chunk
        // is handed out and the running ones are waited for.
        for (;;) {
            std::size_t chunk;
            {
                std::lock_guard lock(mutex_);
                if (job.next >= job.last) break;
                chunk = claim(job);
            }
            execute(job, chunk);
            if (interrupt::stop_requested()) {
                stop(job);
                break;
            }
        }
        std::unique_lock lock(mutex_);
        const auto finished = [&] { return job.done == job.last; };
        if (!interrupt::polls()) {
            done_cv_.wait(lock, finished);
            return;
        }
        // The calling thread keeps asking while it waits.
        while (!done_cv_.wait_for(lock, std::chrono::milliseconds(10), finished)) {
            lock.unlock();
            const bool stop_now = interrupt::stop_requested();
            lock.lock();
            if (stop_now) stop_locked(job);
        }
    }

private:
    // Called with mutex_ held.
    std::size_t claim(Job& job) {
        const std::size_t c = job.next++;
        if (job.next == job.last) dequeue(job);
        return c;
    }

    // Called with mutex_ held.
    void dequeue(Job& job) {
        auto it = std::find(queue_.begin(), queue_.end(), &job);
        if (it != queue_.end()) queue_.erase(it);
    }

    // No chunk of the job is handed out any more. Called with mutex_ held.
    void stop_locked(Job& job) {
        if (job.last == job.next) return;
        job.last = job.next;
        dequeue(job);
    }

    void stop(Job& job) {
        std::lock_guard lock(mutex_);
        stop_locked(job);
    }

    void execute(Job& job, std::size_t chunk) {
        const std::size_t b = job.n * chunk / job.chunks;
        const std::size_t e = job.n * (chunk + 1) / job.chunks;
        std::exception_ptr error;
        try {
            const interrupt::Working working(job.call);
            // A chunk of a stopped call is not started: the call unwinds.
            if (!interrupt::stopping()) (*job.body)(b, e);
        } catch (...) {
            error = std::current_exception();
        }
        {
            std::lock_guard lock(mutex_);
            if (error && chunk < job.error_chunk) {
                job.error = error;
                job.error_chunk = chunk;
            }
            ++job.done;
        }
        done_cv_.notify_all();
    }

    void work() {
        thread_state::prepare();
        {
            std::lock_guard lock(mutex_);
            ++ready_;
        }
        ready_cv_.notify_all();
        for (;;) {
            Job* job;
            std::size_t chunk;
            {
                std::unique_lock lock(mutex_);
                work_cv_.wait(lock, [&] { return !queue_.empty(); });
                // The newest job first: inner loops of nested work finish early.
                job = queue_.back();
                chunk = claim(*job);
            }
            execute(*job, chunk);
        }
    }

    std::size_t threads_ = 1;
    std::size_t ready_ = 0;  // workers whose thread state is prepared
    std::mutex mutex_;
    std::condition_variable work_cv_;
    std::condition_variable ready_cv_;
    std::condition_variable done_cv_;
    std::deque<Job*> queue_;
};

std::optional<std::size_t> parse_count(const char* name) {
    const char* s = std::getenv(name);
    if (s == nullptr) return std::nullopt;
    std::string_view text(s);
    std::size_t value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec == std::errc::result_out_of_range && end == text.data() + text.size())
        return std::numeric_limits<std::size_t>::max();
    if (ec != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
    return value;
}

std::size_t configured_threads() {
    for (const char* name : {"RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS"}) {
        if (auto v = parse_count(name)) {
            if (*v == 0) return system::available_processors();
            return std::min(*v, kMaxThreads);
        }
    }
    return system::available_processors();
}

// The pool is never destroyed: its workers sleep until the process ends. After
// fork() the child has none of the parent's threads, so it drops (leaks) the
// parent's pool and builds its own on first use.
std::mutex* g_mutex = new std::mutex;
Pool* g_pool = nullptr;

void before_fork() { g_mutex->lock(); }
void after_fork_parent() { g_mutex->unlock(); }
void after_fork_child() {
    g_mutex = new std::mutex;
    g_pool = nullptr;
}

Pool& pool() {
    static const bool registered = [] {
        pthread_atfork(before_fork, after_fork_parent, after_fork_child);
        return true;
    }();
    (void)registered;
    std::lock_guard lock(*g_mutex);
    if (g_pool == nullptr) g_pool = new Pool(configured_threads());
    return *g_pool;
}

}  // namespace

std::size_t thread_count() { return pool().threads(); }

void for_range(std::size_t n, std::size_t grain,
               const std::function<void(std::size_t, std::size_t)>& body) {
    if (n == 0) return;
    Pool& p = pool();
    grain = std::max<std::size_t>(grain, 1);
    const std::size_t max_chunks = (n + grain - 1) / grain;
    const std::size_t chunks = std::min(max_chunks, p.threads() == 1 ? 1 : p.threads() * 4);
    if (chunks <= 1) {
        body(0, n);
        return;
    }
    Job job;
    job.body = &body;
    job.n = n;
    job.grain = grain;
    job.chunks = chunks;
    job.last = chunks;
    job.call = interrupt::current();
    p.run(job);
    // A stopped call's chunks may be missing or cut short: it ends here,
    // whatever they reported.
    if (interrupt::stopping()) throw interrupt::Interrupted{};
    if (job.error) std::rethrow_exception(job.error);
}

}  // namespace sonaloc::parallel
