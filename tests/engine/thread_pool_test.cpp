// Tests of the worker pool: coverage, order, early stop, concurrency, nesting, fork() and sizing.
#include "platform/thread_pool.hpp"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <new>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace kestrove::platform {
namespace {

using Failure = std::optional<std::string>;

// Runs `child` in a forked process that is killed by SIGALRM after `timeout_s`; returns true
// when the child exited with status 0.
bool child_succeeds(const std::function<int()>& child, unsigned timeout_s = 20) {
    const pid_t pid = ::fork();
    if (pid < 0) {
        ADD_FAILURE() << "fork failed";
        return false;
    }
    if (pid == 0) {
        ::alarm(timeout_s);
        ::_exit(child());
    }
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid) return false;
    if (WIFSIGNALED(status)) {
        ADD_FAILURE() << "child killed by signal " << WTERMSIG(status);
        return false;
    }
    if (WEXITSTATUS(status) != 0) ADD_FAILURE() << "child exited with " << WEXITSTATUS(status);
    return WEXITSTATUS(status) == 0;
}

// Distinct threads that ran a job whose items each sleep a little, so that idle workers join.
std::size_t threads_in_a_job(std::size_t n) {
    std::mutex mutex;
    std::set<std::thread::id> ids;
    parallel_for(n, 1, [&](std::size_t, std::size_t) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        std::lock_guard lock(mutex);
        ids.insert(std::this_thread::get_id());
    });
    return ids.size();
}

// Exit code 0 when a parallel job in this process covers every item once and uses more than
// one thread (when the pool has more than one).
int parallel_job_check() {
    std::vector<std::atomic<int>> hits(5000);
    parallel_for(hits.size(), 0, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) hits[i].fetch_add(1);
    });
    for (const auto& hit : hits) {
        if (hit.load() != 1) return 1;
    }
    if (pool_size() > 1 && threads_in_a_job(64) < 2) return 2;
    return 0;
}

TEST(ThreadPoolTest, PoolSizeComesFromTheEnvironment) {
    const struct {
        const char* num_threads;
        const char* rs_num_cpus;
        std::size_t online;
        std::size_t expected;
    } cases[] = {
        {nullptr, nullptr, 8, 8},
        {"4", nullptr, 8, 4},
        {"4", "3", 8, 4},
        {"0", "3", 8, 8},  // 0 means the online processors, not "fall through"
        {"0", nullptr, 6, 6},
        {"+5", nullptr, 8, 5},
        {"007", nullptr, 8, 7},
        {"", "3", 8, 3},
        {"abc", "3", 8, 3},
        {" 4", "3", 8, 3},
        {"4 ", nullptr, 8, 8},
        {"-1", "2", 8, 2},
        {"+", "2", 8, 2},
        {"99999999999999999999999", "2", 8, 2},
        {nullptr, "7", 8, 7},
        {nullptr, "0", 8, 8},
        {nullptr, "x", 8, 8},
        {nullptr, nullptr, 0, 1},
        {"0", nullptr, 0, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << (c.num_threads ? c.num_threads : "(unset)") << " / "
                                          << (c.rs_num_cpus ? c.rs_num_cpus : "(unset)"));
        EXPECT_EQ(pool_size_from_env(c.num_threads, c.rs_num_cpus, c.online), c.expected);
    }
}

TEST(ThreadPoolTest, StartedPoolHasTheSizeTheEnvironmentAsks) {
    const struct {
        const char* num_threads;
        std::size_t size;
    } cases[] = {{"1", 1}, {"3", 3}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.num_threads);
        // A fresh process, so that no pool has started yet.
        EXPECT_TRUE(child_succeeds([&] {
            ::setenv("RAYON_NUM_THREADS", c.num_threads, 1);
            if (pool_size() != c.size) return 1;
            const std::size_t used = threads_in_a_job(64);
            if (pool_size() != c.size) return 2;
            if (used > c.size || (c.size > 1 && used < 2)) return 3;
            return 0;
        }));
    }
}

TEST(ThreadPoolTest, ParallelForCoversEveryIndexOnceInBoundedRanges) {
    const struct {
        std::size_t n;
        std::size_t chunk;
    } cases[] = {{0, 0},    {1, 0},       {7, 0},      {1000, 0},   {1000, 1},
                 {1000, 7}, {1000, 5000}, {100003, 0}, {100003, 64}};
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << "n=" << c.n << " chunk=" << c.chunk);
        std::vector<std::atomic<int>> hits(c.n);
        std::atomic<bool> oversized{false};
        parallel_for(c.n, c.chunk, [&](std::size_t begin, std::size_t end) {
            if (begin >= end || (c.chunk != 0 && end - begin > c.chunk)) oversized = true;
            for (std::size_t i = begin; i < end; ++i) hits[i].fetch_add(1);
        });
        EXPECT_FALSE(oversized.load());
        EXPECT_TRUE(std::all_of(hits.begin(), hits.end(), [](const auto& h) { return h == 1; }));
    }
}

TEST(ThreadPoolTest, TryForKeepsOutputsInInputOrder) {
    const std::size_t n = 20000;
    std::vector<std::uint64_t> out(n, 0);
    const Failure failure = parallel_try_for(n, [&](std::size_t i) -> Failure {
        out[i] = static_cast<std::uint64_t>(i) * i;
        return std::nullopt;
    });
    EXPECT_FALSE(failure.has_value());
    for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(out[i], static_cast<std::uint64_t>(i) * i);
}

// The items of one chunk share the state it made, in order; no two chunks share one.
TEST(ThreadPoolTest, TryForWithGivesEachChunkItsOwnState) {
    const std::size_t n = 1000, chunk = 7;
    std::vector<std::size_t> previous(n);
    const auto failure = parallel_try_for_with<std::vector<std::size_t>>(
        n,
        [&](std::size_t i, std::vector<std::size_t>& seen) -> Failure {
            previous[i] = seen.empty() ? n : seen.back();
            seen.push_back(i);
            return std::nullopt;
        },
        chunk);
    EXPECT_FALSE(failure.has_value());
    for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(previous[i], i % chunk == 0 ? n : i - 1) << i;
}

TEST(ThreadPoolTest, TryForStopsSchedulingAfterTheFirstFailure) {
    const std::size_t n = 2000;
    std::atomic<std::size_t> executed{0};
    const Failure failure = parallel_try_for(n, [&](std::size_t i) -> Failure {
        executed.fetch_add(1);
        if (i == 0) return "item 0 failed";
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return std::nullopt;
    });
    ASSERT_TRUE(failure.has_value());
    EXPECT_EQ(*failure, "item 0 failed");
    EXPECT_LT(executed.load(), n / 10);
}

TEST(ThreadPoolTest, TryForReportsOneOfTheFailures) {
    const struct {
        std::size_t n;
        std::size_t chunk;
    } cases[] = {{1, 0}, {1000, 0}, {1000, 1}, {1000, 1000}};
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << "n=" << c.n << " chunk=" << c.chunk);
        const auto fails = [](std::size_t i) { return i % 97 == 0; };
        const auto failure = parallel_try_for(
            c.n,
            [&](std::size_t i) -> std::optional<std::size_t> {
                if (fails(i)) return i;
                return std::nullopt;
            },
            c.chunk);
        ASSERT_TRUE(failure.has_value());
        EXPECT_TRUE(fails(*failure)) << *failure;
    }
}

TEST(ThreadPoolTest, AllForRunsEveryItemAndReportsTheLowestFailure) {
    const std::size_t n = 3000;
    const struct {
        std::vector<std::size_t> failing;
        std::size_t chunk;
    } cases[] = {
        {{}, 0},
        {{0}, 0},
        {{n - 1}, 0},
        {{2999, 1500, 17}, 0},
        {{2999, 1500, 17}, 1},
        {{40, 41, 42}, 5},
        {{5, 2000}, 3000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message()
                     << "chunk=" << c.chunk << " failures=" << c.failing.size());
        std::vector<std::atomic<int>> hits(n);
        const auto failure = parallel_all_for(
            n,
            [&](std::size_t i) -> std::optional<std::size_t> {
                hits[i].fetch_add(1);
                // Later items fail first in time, so "first recorded" would be the wrong answer.
                if (std::find(c.failing.begin(), c.failing.end(), i) != c.failing.end()) return i;
                if (i < 100) std::this_thread::sleep_for(std::chrono::microseconds(200));
                return std::nullopt;
            },
            c.chunk);
        EXPECT_TRUE(std::all_of(hits.begin(), hits.end(), [](const auto& h) { return h == 1; }));
        if (c.failing.empty()) {
            EXPECT_FALSE(failure.has_value());
        } else {
            ASSERT_TRUE(failure.has_value());
            EXPECT_EQ(*failure, *std::min_element(c.failing.begin(), c.failing.end()));
        }
    }
}

TEST(ThreadPoolTest, ConcurrentSubmittersEachGetTheirOwnResults) {
    constexpr int kSubmitters = 8;
    constexpr int kJobsEach = 40;
    std::atomic<int> wrong{0};
    std::vector<std::thread> submitters;
    for (int s = 0; s < kSubmitters; ++s) {
        submitters.emplace_back([&, s] {
            for (int j = 0; j < kJobsEach; ++j) {
                const std::size_t n = 500 + 97 * s + j;
                std::vector<std::size_t> out(n, 0);
                const Failure failure = parallel_try_for(n, [&](std::size_t i) -> Failure {
                    out[i] = i + s;
                    return std::nullopt;
                });
                for (std::size_t i = 0; i < n; ++i) {
                    if (out[i] != i + s) ++wrong;
                }
                if (failure.has_value()) ++wrong;
            }
        });
    }
    for (auto& t : submitters) t.join();
    EXPECT_EQ(wrong.load(), 0);
}

TEST(ThreadPoolTest, NestedCallsRunInlineOnTheCallingThread) {
    EXPECT_FALSE(in_parallel_job());
    std::atomic<int> elsewhere{0};
    std::atomic<int> outside_job{0};
    std::atomic<int> inner_items{0};
    parallel_for(64, 1, [&](std::size_t, std::size_t) {
        if (!in_parallel_job()) ++outside_job;
        const auto outer = std::this_thread::get_id();
        parallel_for(100, 0, [&](std::size_t begin, std::size_t end) {
            if (std::this_thread::get_id() != outer) ++elsewhere;
            inner_items += static_cast<int>(end - begin);
        });
        const Failure failure = parallel_try_for(10, [&](std::size_t) -> Failure {
            if (std::this_thread::get_id() != outer) ++elsewhere;
            return std::nullopt;
        });
        if (failure.has_value()) ++elsewhere;
    });
    EXPECT_EQ(elsewhere.load(), 0);
    EXPECT_EQ(outside_job.load(), 0);
    EXPECT_EQ(inner_items.load(), 64 * 100);
    EXPECT_FALSE(in_parallel_job());
}

TEST(ThreadPoolTest, ExceptionEscapingABodyIsRethrownToTheCaller) {
    for (const std::size_t chunk : {std::size_t{0}, std::size_t{1}}) {
        SCOPED_TRACE(chunk);
        EXPECT_THROW(parallel_for(1000, chunk,
                                  [](std::size_t begin, std::size_t end) {
                                      if (begin <= 500 && 500 < end) throw std::bad_alloc();
                                  }),
                     std::bad_alloc);
    }
    // The pool is still usable afterwards.
    EXPECT_EQ(parallel_job_check(), 0);
}

TEST(ThreadPoolTest, ForkedChildRunsParallelJobs) {
    ASSERT_EQ(parallel_job_check(), 0);  // the pool is running before the fork
    for (int round = 0; round < 30; ++round) {
        SCOPED_TRACE(round);
        ASSERT_TRUE(child_succeeds(
            [] {
                // A grandchild must manage as well: the child's fresh pool is abandoned in turn.
                if (parallel_job_check() != 0) return 1;
                return child_succeeds(parallel_job_check, 10) ? 0 : 2;
            },
            20));
    }
    EXPECT_EQ(parallel_job_check(), 0);  // and the parent's pool still works
}

TEST(ThreadPoolTest, ForkWhileAnotherThreadIsInsideAJob) {
    std::atomic<bool> done{false};
    std::atomic<int> jobs_run{0};
    std::thread busy([&] {
        while (!done.load()) {
            parallel_for(200, 1, [](std::size_t, std::size_t) {
                std::this_thread::sleep_for(std::chrono::microseconds(100));
            });
            ++jobs_run;
        }
    });
    while (jobs_run.load() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    for (int round = 0; round < 30; ++round) {
        if (!child_succeeds(parallel_job_check, 10)) {
            ADD_FAILURE() << "round " << round;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(round % 3));
    }
    const int before = jobs_run.load();
    while (jobs_run.load() < before + 2) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    done = true;
    busy.join();
}

}  // namespace
}  // namespace kestrove::platform
