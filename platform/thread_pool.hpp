// The process-wide worker pool: chunked parallel loops with early stop, safe across fork().
#pragma once

#include <atomic>
#include <cstddef>
#include <limits>
#include <mutex>
#include <optional>
#include <type_traits>
#include <utility>

namespace kestrove::platform {

// The pool size the environment asks for: RAYON_NUM_THREADS if it holds an unsigned decimal
// integer (0 meaning `online`), else RAYON_RS_NUM_CPUS if it holds a positive one, else `online`.
// A null, empty or unparsable value is skipped. `online` below 1 counts as 1.
[[nodiscard]] std::size_t pool_size_from_env(const char* rayon_num_threads,
                                             const char* rayon_rs_num_cpus, std::size_t online);

// Threads that run a parallel job, the calling thread included: the running pool's size, or,
// before the pool has started in this process, the size it will start with. Starts nothing.
[[nodiscard]] std::size_t pool_size();

// Whether the calling thread is running a body of a parallel job. Parallel calls made from
// such a thread run inline on it.
[[nodiscard]] bool in_parallel_job() noexcept;

namespace detail {

// One chunk [begin, end) of a job; returning false asks that no further chunks be started.
using ChunkFn = bool (*)(void* context, std::size_t begin, std::size_t end);

// Runs fn over [0, n) in chunks of `chunk` items (0 picks a size) on the pool and the calling
// thread, and returns when every started chunk has finished. An exception escaping a chunk stops
// the job and is rethrown here.
void run_job(std::size_t n, std::size_t chunk, ChunkFn fn, void* context);

template <class Range>
bool call_range(void* context, std::size_t begin, std::size_t end) {
    return (*static_cast<Range*>(context))(begin, end);
}

template <class F>
using FailureOf = std::invoke_result_t<F&, std::size_t>;

}  // namespace detail

// Calls body(begin, end) over disjoint ranges covering [0, n), each at most `chunk` long
// (0 = automatic), concurrently on the pool's threads and the calling thread. Returns when all
// ranges are done. body must be safe to call concurrently.
template <class F>
void parallel_for(std::size_t n, std::size_t chunk, F&& body) {
    auto range = [&body](std::size_t begin, std::size_t end) {
        body(begin, end);
        return true;
    };
    detail::run_job(n, chunk, &detail::call_range<decltype(range)>, &range);
}

// Calls body(i, state) for i in [0, n) concurrently; body returns std::optional<E>, nullopt
// meaning success. Each chunk of items makes one `State` and passes it to each of its items in
// turn: what they reuse, such as a buffer, lives as long as the chunk. After the first failure no
// further items are started; returns that failure (the first one recorded when several items
// fail at once), or nullopt when every item succeeded. Outputs belong in a caller-owned,
// pre-sized container indexed by i, which keeps them in input order.
template <class State, class F>
[[nodiscard]] std::invoke_result_t<F&, std::size_t, State&> parallel_try_for_with(
    std::size_t n, F&& body, std::size_t chunk = 0) {
    using Failure = std::invoke_result_t<F&, std::size_t, State&>;
    std::atomic<bool> failed{false};
    Failure failure;
    auto range = [&](std::size_t begin, std::size_t end) {
        State state{};
        for (std::size_t i = begin; i < end; ++i) {
            if (failed.load(std::memory_order_relaxed)) return false;
            Failure result = body(i, state);
            if (result.has_value()) {
                // Only the thread that raises the flag writes `failure`; it is read after the
                // job has been joined.
                if (!failed.exchange(true, std::memory_order_relaxed)) failure = std::move(result);
                return false;
            }
        }
        return true;
    };
    detail::run_job(n, chunk, &detail::call_range<decltype(range)>, &range);
    return failure;
}

// parallel_try_for_with for items that reuse nothing: body(i).
template <class F>
[[nodiscard]] detail::FailureOf<F> parallel_try_for(std::size_t n, F&& body,
                                                    std::size_t chunk = 0) {
    struct NoState {};
    return parallel_try_for_with<NoState>(
        n, [&body](std::size_t i, NoState&) { return body(i); }, chunk);
}

// The failure of the lowest position among those that the bodies of one parallel job report,
// from any of its threads.
template <class E>
class LowestFailure {
public:
    // Keeps `failure` unless a position below `i` has failed.
    void note(std::size_t i, E failure) {
        std::lock_guard lock(mutex_);
        if (i >= failed_at_) return;
        failed_at_ = i;
        failure_ = std::move(failure);
    }
    // The failure kept, or nullopt; read once the job has been joined.
    [[nodiscard]] std::optional<E> take() { return std::move(failure_); }

private:
    std::mutex mutex_;
    std::size_t failed_at_ = std::numeric_limits<std::size_t>::max();
    std::optional<E> failure_;
};

// Calls body(i) for every i in [0, n) concurrently, whatever fails; body returns
// std::optional<E>. Returns the failure of the lowest i that failed, or nullopt.
template <class F>
[[nodiscard]] detail::FailureOf<F> parallel_all_for(std::size_t n, F&& body,
                                                    std::size_t chunk = 0) {
    using Failure = detail::FailureOf<F>;
    LowestFailure<typename Failure::value_type> lowest;
    auto range = [&](std::size_t begin, std::size_t end) {
        bool recorded = false;  // later items of one range cannot beat an earlier one
        for (std::size_t i = begin; i < end; ++i) {
            Failure result = body(i);
            if (recorded || !result.has_value()) continue;
            recorded = true;
            lowest.note(i, std::move(*result));
        }
        return true;
    };
    detail::run_job(n, chunk, &detail::call_range<decltype(range)>, &range);
    return lowest.take();
}

}  // namespace kestrove::platform
