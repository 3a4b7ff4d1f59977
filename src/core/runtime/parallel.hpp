// The process-wide worker pool.
//
// Created on first parallel use, sized by RAYON_NUM_THREADS, then
// RAYON_RS_NUM_CPUS, then the processors available to the process. The calling
// thread takes part in every loop it starts; loops may nest. Work is split into
// chunks whose results callers place by index, so nothing depends on the
// number of threads or their timing. A failure inside a chunk (std::bad_alloc,
// an internal fault, anything else) is carried to the calling thread and
// rethrown there; the failure of the lowest-numbered failing chunk wins.
// Once the call the work belongs to is to stop (see interrupt.hpp), no
// further chunk starts, and the loop throws interrupt::Interrupted when the
// running ones are done.
#pragma once
#include <algorithm>
#include <cstddef>
#include <functional>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/runtime/interrupt.hpp"

namespace sonaloc::parallel {

// Degree of parallelism: the calling thread plus the pool's workers.
std::size_t thread_count();

// Runs body(begin, end) over [0, n) split into chunks of at least `grain`
// indices; returns when all chunks are done.
void for_range(std::size_t n, std::size_t grain,
               const std::function<void(std::size_t, std::size_t)>& body);

// Runs f(i) for every i in [0, n), each index a task of its own (and an
// interrupt check point before it).
template <class F>
void for_each(std::size_t n, F&& f) {
    for_range(n, 1, [&](std::size_t b, std::size_t e) {
        for (std::size_t i = b; i < e; ++i) {
            interrupt::check();
            f(i);
        }
    });
}

// out[i] = f(i), computed in parallel, gathered by index.
template <class F>
auto map(std::size_t n, F&& f) {
    using T = std::decay_t<std::invoke_result_t<F&, std::size_t>>;
    std::vector<T> out(n);
    for_each(n, [&](std::size_t i) { out[i] = f(i); });
    return out;
}

// Runs f(c, list) for every chunk c in [0, chunks) in parallel, each chunk
// appending to a list of its own, and joins the lists in chunk order, so the
// result is the same for every thread count.
template <class T, class F>
std::vector<T> collect(std::size_t chunks, F&& f) {
    std::vector<std::vector<T>> found(chunks);
    for_each(chunks, [&](std::size_t c) { f(c, found[c]); });
    if (chunks == 1) return std::move(found[0]);
    std::size_t total = 0;
    for (const auto& v : found) total += v.size();
    std::vector<T> all;
    all.reserve(total);
    for (const auto& v : found) all.insert(all.end(), v.begin(), v.end());
    return all;
}

// Sorts v by `less` in parallel. `less` must be a strict total order on the
// values present, so that the result is the same for every thread count.
template <class T, class Less>
void sort(std::vector<T>& v, Less less) {
    const std::size_t n = v.size();
    const std::size_t threads = thread_count();
    constexpr std::size_t kMinChunk = 1 << 14;
    if (threads < 2 || n < 2 * kMinChunk) {
        std::sort(v.begin(), v.end(), less);
        return;
    }
    std::size_t chunks = std::min(threads * 2, n / kMinChunk);
    std::vector<std::size_t> bounds(chunks + 1);
    for (std::size_t c = 0; c <= chunks; ++c) bounds[c] = n * c / chunks;
    for_each(chunks, [&](std::size_t c) {
        std::sort(v.begin() + bounds[c], v.begin() + bounds[c + 1], less);
    });
    std::vector<T> buf(n);
    std::vector<T>* src = &v;
    std::vector<T>* dst = &buf;
    while (bounds.size() > 2) {
        const std::size_t pairs = (bounds.size() - 1) / 2;
        const bool odd = (bounds.size() - 1) % 2 == 1;
        for_each(pairs + (odd ? 1 : 0), [&](std::size_t p) {
            auto b = src->begin();
            if (p == pairs) {  // the odd run out is copied as it is
                std::copy(b + bounds[2 * p], b + bounds[2 * p + 1], dst->begin() + bounds[2 * p]);
                return;
            }
            std::merge(b + bounds[2 * p], b + bounds[2 * p + 1], b + bounds[2 * p + 1],
                       b + bounds[2 * p + 2], dst->begin() + bounds[2 * p], less);
        });
        std::vector<std::size_t> next;
        for (std::size_t i = 0; i < bounds.size(); i += 2) next.push_back(bounds[i]);
        if (next.back() != n) next.push_back(n);
        bounds = std::move(next);
        std::swap(src, dst);
    }
    if (src != &v) v = std::move(*src);
}

}  // namespace sonaloc::parallel
