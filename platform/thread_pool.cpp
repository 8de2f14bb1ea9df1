// The pool behind parallel_for and friends: lazily started workers, a job list, fork handlers.
#include "platform/thread_pool.hpp"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <exception>
#include <new>
#include <thread>
#include <vector>

namespace kestrove::platform {

namespace {

// Ceiling on the threads a pool starts, whatever the environment asks for.
constexpr std::size_t kMaxPoolSize = 4096;
// The automatic chunk size aims at this many chunks per thread, so that uneven items balance out.
constexpr std::size_t kChunksPerThread = 4;
// How long an idle worker, or a submitter waiting for its helpers, keeps polling before it
// sleeps. The jobs of a bulk read come back to back and each lasts well under a millisecond:
// falling asleep between them and being woken again would cost more than the work.
constexpr std::chrono::microseconds kSpinBudget{100};

void cpu_relax() noexcept {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
}

// Polls `done` until it holds or the spin budget is spent; returns its last value.
template <class Done>
bool spin_until(Done done) {
    const auto deadline = std::chrono::steady_clock::now() + kSpinBudget;
    for (;;) {
        for (int i = 0; i < 64; ++i) {
            if (done()) return true;
            cpu_relax();
        }
        if (std::chrono::steady_clock::now() >= deadline) return done();
        // On a machine with more runnable threads than cores, a poller would hold a core that
        // the thread it waits for (or the application) needs; yielding costs one system call
        // when nothing else is waiting to run.
        std::this_thread::yield();
    }
}

// Depth of parallel bodies running on this thread; non-zero makes parallel calls run inline.
thread_local int tl_job_depth = 0;

struct JobDepthGuard {
    JobDepthGuard() noexcept { ++tl_job_depth; }
    ~JobDepthGuard() { --tl_job_depth; }
    JobDepthGuard(const JobDepthGuard&) = delete;
    JobDepthGuard& operator=(const JobDepthGuard&) = delete;
};

// One parallel call. Lives on the submitting thread's stack until every thread that joined it
// has left.
struct Job {
    Job(std::size_t n, std::size_t chunk, detail::ChunkFn fn, void* context)
        : fn(fn), context(context), n(n), chunk(chunk) {}

    [[nodiscard]] bool exhausted() const noexcept {
        return stop.load(std::memory_order_relaxed) || next.load(std::memory_order_relaxed) >= n;
    }

    const detail::ChunkFn fn;
    void* const context;
    const std::size_t n;
    const std::size_t chunk;
    std::atomic<std::size_t> next{0};  // first item not yet handed out
    std::atomic<bool> stop{false};     // no further chunks are handed out
    // Pool threads inside the job: changed under Pool::mutex, polled without it.
    std::atomic<std::size_t> participants{0};
    std::mutex exception_mutex;
    std::exception_ptr exception;  // the first exception that escaped a chunk
};

// Claims and runs chunks of `job` until none are left or the job is stopped.
void work_on(Job& job) {
    JobDepthGuard depth;
    while (!job.stop.load(std::memory_order_relaxed)) {
        std::size_t begin = job.next.load(std::memory_order_relaxed);
        std::size_t end;
        do {
            if (begin >= job.n) return;
            end = begin + std::min(job.chunk, job.n - begin);
        } while (!job.next.compare_exchange_weak(begin, end, std::memory_order_relaxed));
        try {
            if (!job.fn(job.context, begin, end)) job.stop.store(true, std::memory_order_relaxed);
        } catch (...) {
            std::lock_guard lock(job.exception_mutex);
            if (!job.exception) job.exception = std::current_exception();
            job.stop.store(true, std::memory_order_relaxed);
        }
    }
}

void run_inline(std::size_t n, std::size_t chunk, detail::ChunkFn fn, void* context) {
    JobDepthGuard depth;
    for (std::size_t begin = 0; begin < n;) {
        const std::size_t end = begin + std::min(chunk, n - begin);
        if (!fn(context, begin, end)) return;
        begin = end;
    }
}

class Pool {
public:
    explicit Pool(std::size_t size) {
        // Workers block every signal, so process-directed signals reach the application's own
        // threads and never interrupt a worker's system calls.
        sigset_t all_signals;
        sigset_t previous;
        sigfillset(&all_signals);
        pthread_sigmask(SIG_SETMASK, &all_signals, &previous);
        const std::size_t wanted = std::min(size, kMaxPoolSize) - 1;
        try {
            for (; worker_count_ < wanted; ++worker_count_) {
                std::thread(&Pool::worker_main, this).detach();
            }
        } catch (...) {
            // Out of threads or memory: run with the workers that did start.
        }
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
        // Wait until every worker runs our code, so that no thread is half-way through its
        // start-up (inside libc or a sanitizer runtime, holding their locks) when the process
        // forks.
        std::unique_lock lock(mutex);
        done_cv_.wait(lock, [this] { return started_ == worker_count_; });
    }

    // Never destroyed: workers wait on the pool for the life of the process, and a pool
    // abandoned by fork() has no threads left to stop.
    ~Pool() = delete;
    Pool(const Pool&) = delete;
    Pool& operator=(const Pool&) = delete;

    [[nodiscard]] std::size_t size() const noexcept { return worker_count_ + 1; }

    // Runs `job` with the calling thread and as many idle workers as it has chunks for.
    void run(Job& job) {
        const std::size_t chunks = job.n / job.chunk + (job.n % job.chunk != 0 ? 1 : 0);
        const std::size_t helpers = std::min(chunks - 1, worker_count_);
        {
            std::lock_guard lock(mutex);
            jobs_.push_back(&job);
            job_epoch_.fetch_add(1, std::memory_order_release);
        }
        if (helpers == worker_count_) {
            work_cv_.notify_all();
        } else {
            for (std::size_t i = 0; i < helpers; ++i) work_cv_.notify_one();
        }
        work_on(job);
        spin_until([&job] { return job.participants.load(std::memory_order_acquire) == 0; });
        // Taking the lock also waits out a helper that is still leaving the job.
        std::unique_lock lock(mutex);
        std::erase(jobs_, &job);
        done_cv_.wait(lock, [&job] { return job.participants.load() == 0; });
    }

    // Guards the job list and every Job::participants. Held across fork() by the handlers.
    std::mutex mutex;
    // Links pools abandoned by fork() so they stay reachable (leak checkers stay quiet).
    Pool* abandoned_next = nullptr;

private:
    void worker_main() {
        std::unique_lock lock(mutex);
        ++started_;
        done_cv_.notify_all();
        bool may_spin = false;  // once after each job, before sleeping
        for (;;) {
            Job* job = next_job();
            if (job == nullptr) {
                if (may_spin) {
                    may_spin = false;
                    const auto seen = job_epoch_.load(std::memory_order_relaxed);
                    lock.unlock();
                    spin_until([&] { return job_epoch_.load(std::memory_order_acquire) != seen; });
                    lock.lock();
                    continue;
                }
                work_cv_.wait(lock);
                continue;
            }
            may_spin = true;
            ++job->participants;
            lock.unlock();
            work_on(*job);
            lock.lock();
            if (--job->participants == 0) done_cv_.notify_all();
        }
    }

    // The oldest job that still has chunks to hand out; drops finished ones. Needs `mutex`.
    Job* next_job() {
        std::erase_if(jobs_, [](const Job* job) { return job->exhausted(); });
        return jobs_.empty() ? nullptr : jobs_.front();
    }

    std::atomic<std::uint64_t> job_epoch_{0};  // counts submitted jobs; written under `mutex`
    std::size_t worker_count_ = 0;
    std::size_t started_ = 0;  // workers that have entered worker_main; guarded by `mutex`
    std::condition_variable work_cv_;
    std::condition_variable done_cv_;
    std::vector<Job*> jobs_;
};

// Serialises starting the pool and registering the fork handlers. Held across fork().
std::mutex g_start_mutex;
std::atomic<Pool*> g_pool{nullptr};
Pool* g_abandoned_pools = nullptr;        // written only in a single-threaded fork child
bool g_fork_handlers_registered = false;  // guarded by g_start_mutex

void before_fork() {
    g_start_mutex.lock();
    if (Pool* pool = g_pool.load(std::memory_order_acquire)) pool->mutex.lock();
}

void after_fork_in_parent() {
    if (Pool* pool = g_pool.load(std::memory_order_acquire)) pool->mutex.unlock();
    g_start_mutex.unlock();
}

void after_fork_in_child() {
    // The pool's workers and any thread inside a job did not survive the fork. Abandon the pool
    // with its lock still held (joining or destroying it would hang or crash) so the next
    // parallel call starts a fresh one, and begin a fresh start lock in place of the held one.
    if (Pool* pool = g_pool.load(std::memory_order_relaxed)) {
        pool->abandoned_next = g_abandoned_pools;
        g_abandoned_pools = pool;
    }
    g_pool.store(nullptr, std::memory_order_relaxed);
    new (&g_start_mutex) std::mutex();
}

std::size_t online_processors() {
    const long count = ::sysconf(_SC_NPROCESSORS_ONLN);
    return count > 0 ? static_cast<std::size_t>(count) : 1;
}

std::size_t configured_pool_size() {
    return pool_size_from_env(std::getenv("RAYON_NUM_THREADS"), std::getenv("RAYON_RS_NUM_CPUS"),
                              online_processors());
}

Pool& the_pool() {
    if (Pool* pool = g_pool.load(std::memory_order_acquire)) return *pool;
    std::lock_guard lock(g_start_mutex);
    Pool* pool = g_pool.load(std::memory_order_relaxed);
    if (pool == nullptr) {
        if (!g_fork_handlers_registered) {
            // A failure here (ENOMEM) leaves a pool that a fork() child must not use; there is
            // no better fallback than carrying on.
            pthread_atfork(&before_fork, &after_fork_in_parent, &after_fork_in_child);
            g_fork_handlers_registered = true;
        }
        pool = new Pool(configured_pool_size());
        g_pool.store(pool, std::memory_order_release);
    }
    return *pool;
}

// An unsigned decimal integer as the environment may spell it: an optional '+', then digits
// only. Empty, signed, spaced or overflowing text gives nullopt.
std::optional<std::size_t> parse_count(const char* text) {
    if (text == nullptr) return std::nullopt;
    if (*text == '+') ++text;
    if (*text == '\0') return std::nullopt;
    std::size_t value = 0;
    for (; *text != '\0'; ++text) {
        if (*text < '0' || *text > '9') return std::nullopt;
        if (__builtin_mul_overflow(value, std::size_t{10}, &value) ||
            __builtin_add_overflow(value, static_cast<std::size_t>(*text - '0'), &value)) {
            return std::nullopt;
        }
    }
    return value;
}

}  // namespace

std::size_t pool_size_from_env(const char* rayon_num_threads, const char* rayon_rs_num_cpus,
                               std::size_t online) {
    online = std::max<std::size_t>(online, 1);
    if (const auto threads = parse_count(rayon_num_threads))
        return *threads > 0 ? *threads : online;
    if (const auto cpus = parse_count(rayon_rs_num_cpus); cpus && *cpus > 0) return *cpus;
    return online;
}

std::size_t pool_size() {
    if (const Pool* pool = g_pool.load(std::memory_order_acquire)) return pool->size();
    return std::min(configured_pool_size(), kMaxPoolSize);
}

bool in_parallel_job() noexcept { return tl_job_depth > 0; }

namespace detail {

void run_job(std::size_t n, std::size_t chunk, ChunkFn fn, void* context) {
    if (n == 0) return;
    if (tl_job_depth > 0 || n == 1) {
        run_inline(n, chunk == 0 ? n : chunk, fn, context);
        return;
    }
    Pool& pool = the_pool();
    if (chunk == 0) chunk = std::max<std::size_t>(1, n / (pool.size() * kChunksPerThread));
    if (pool.size() == 1 || chunk >= n) {
        run_inline(n, chunk, fn, context);
        return;
    }
    Job job(n, chunk, fn, context);
    pool.run(job);
    if (job.exception) std::rethrow_exception(job.exception);
}

}  // namespace detail

}  // namespace kestrove::platform
