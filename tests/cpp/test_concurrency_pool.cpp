#include <gtest/gtest.h>

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <limits>
#include <mutex>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>

#include "ecc_test_support.h"

extern char** environ;

using namespace brimo::concurrency;
using namespace brimo::ecc;
using namespace ecc_test;

namespace {

// Waits up to `seconds` for a child; kills it when it hangs. Returns its exit status, or -1 for a
// hang or an abnormal end.
int wait_with_timeout(pid_t pid, int seconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    int status = 0;
    while (std::chrono::steady_clock::now() < deadline) {
        const pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        if (r < 0) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return -1;
}

// A full packet with a few hundred random flips, and its records from a sequential reference loop.
struct DirtyPacket {
    std::vector<std::uint8_t> bytes;
    std::vector<EccRecord> expected;
};

DirtyPacket dirty_packet(std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    DirtyPacket p{clean_random_packet(rng), {}};
    for (int i = 0; i < 400; ++i) {
        const auto r = channel_offsets()[rng() % CHANNEL_COUNT];
        const std::uint64_t at = r.start + 2 * (rng() % 4096);
        put_word(p.bytes, at, static_cast<std::uint16_t>(get_word(p.bytes, at) ^ (1u << (rng() % 16)) ^
                                                         (rng() & 1 ? 1u << (rng() % 16) : 0u)));
    }
    p.expected = ref_check(p.bytes);
    return p;
}

}  // namespace

TEST(Pool, EveryIndexRunsOnceInContiguousSubRanges) {
    for (std::size_t workers : {0, 1, 2, 3, 7}) {
        WorkerPool pool(workers);
        EXPECT_EQ(pool.size(), workers);
        for (std::size_t count : {0, 1, 5, 96, 1000}) {
            for (std::size_t grain : {0, 1, 3, 1000}) {
                SCOPED_TRACE(testing::Message() << workers << " workers, count " << count << ", grain " << grain);
                std::vector<std::atomic<int>> hits(count);
                std::atomic<bool> bad_range{false};
                const bool ok = pool.parallel_for(count, grain, [&](std::size_t b, std::size_t e) {
                    if (b >= e || e > count || e - b > std::max<std::size_t>(grain, 1)) bad_range = true;
                    for (std::size_t i = b; i < e; ++i) hits[i].fetch_add(1);
                });
                EXPECT_TRUE(ok);
                EXPECT_FALSE(bad_range);
                for (std::size_t i = 0; i < count; ++i) ASSERT_EQ(hits[i].load(), 1) << i;
            }
        }
    }
}

// Ranges near the size_t limit are tiled exactly, without the cursor wrapping around.
TEST(Pool, HugeRangeTiledWithoutWrapAround) {
    WorkerPool pool(3);
    constexpr std::size_t count = std::numeric_limits<std::size_t>::max();
    std::mutex m;
    std::vector<std::pair<std::size_t, std::size_t>> ranges;
    EXPECT_TRUE(pool.parallel_for(count, count / 4, [&](std::size_t b, std::size_t e) {
        std::lock_guard<std::mutex> lock(m);
        ranges.emplace_back(b, e);
    }));
    std::sort(ranges.begin(), ranges.end());
    ASSERT_EQ(ranges.size(), 5u);  // four full sub-ranges and a remainder of 3
    EXPECT_EQ(ranges.front().first, 0u);
    EXPECT_EQ(ranges.back().second, count);
    for (std::size_t i = 1; i < ranges.size(); ++i) EXPECT_EQ(ranges[i].first, ranges[i - 1].second);
}

TEST(Pool, ThrowingBodyIsReportedAndPoolStaysUsable) {
    for (std::size_t workers : {0, 2}) {
        WorkerPool pool(workers);
        std::atomic<int> ran{0};
        EXPECT_FALSE(pool.parallel_for(40, 1, [&](std::size_t b, std::size_t) {
            ran.fetch_add(1);
            if (b == 17) throw std::runtime_error("boom");
            if (b == 30) throw 5;
        }));
        EXPECT_EQ(ran.load(), 40);
        std::atomic<int> again{0};
        EXPECT_TRUE(pool.parallel_for(40, 1, [&](std::size_t, std::size_t) { again.fetch_add(1); }));
        EXPECT_EQ(again.load(), 40);
    }
}

TEST(Pool, NestedAndConcurrentJobs) {
    WorkerPool pool(3);
    // A job started from inside a worker runs there instead of waiting for the busy pool.
    std::atomic<int> inner{0};
    EXPECT_TRUE(pool.parallel_for(8, 1, [&](std::size_t, std::size_t) {
        EXPECT_TRUE(pool.parallel_for(10, 2, [&](std::size_t b, std::size_t e) { inner.fetch_add(int(e - b)); }));
    }));
    EXPECT_EQ(inner.load(), 80);
    // Several callers share the pool; each gets its own complete job.
    std::vector<std::thread> callers;
    std::atomic<int> failures{0};
    for (int t = 0; t < 4; ++t)
        callers.emplace_back([&] {
            for (int job = 0; job < 50; ++job) {
                std::atomic<std::size_t> sum{0};
                pool.parallel_for(96, 4, [&](std::size_t b, std::size_t e) {
                    for (std::size_t i = b; i < e; ++i) sum.fetch_add(i);
                });
                if (sum.load() != 96 * 95 / 2) failures.fetch_add(1);
            }
        });
    for (auto& c : callers) c.join();
    EXPECT_EQ(failures.load(), 0);
}

// A caller that waits for its job with a WaitCallback, and whose callback blocks on a lock (the
// interpreter's, for an interrupt check), keeps the pool neither from finishing its job nor from the
// next one: a second caller holding that lock gets its own job done, and the callback is asked only
// on the first caller's thread.
TEST(Pool, WaitCallbackBlockingOnALockHeldByTheNextCaller) {
    WorkerPool pool(2);
    std::mutex lock_like_gil;
    std::unique_lock held(lock_like_gil);
    struct Ctx {
        std::mutex* lock;
        std::thread::id owner;
        std::atomic<int> calls{0};
        std::atomic<bool> elsewhere{false};
    } ctx{&lock_like_gil, {}};
    std::atomic<std::size_t> first_done{0};
    std::thread first([&] {
        ctx.owner = std::this_thread::get_id();
        WaitCallback cb([](void* p) {
            auto* c = static_cast<Ctx*>(p);
            if (std::this_thread::get_id() != c->owner) c->elsewhere = true;
            ++c->calls;
            std::lock_guard wait_for(*c->lock);
        }, &ctx, std::chrono::milliseconds(1));
        pool.parallel_for(64, 1, [&](std::size_t b, std::size_t e) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            first_done += e - b;
        });
    });
    while (ctx.calls == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::atomic<std::size_t> second_done{0};
    pool.parallel_for(64, 1, [&](std::size_t b, std::size_t e) { second_done += e - b; });
    EXPECT_EQ(second_done, 64u);
    held.unlock();
    first.join();
    EXPECT_EQ(first_done, 64u);
    EXPECT_FALSE(ctx.elsewhere);
}

TEST(Pool, SizeFromEnvironment) {
    struct Case {
        const char* num_threads;
        const char* rs_num_cpus;
        std::size_t expected;
    };
    const Case cases[] = {
        {nullptr, nullptr, 6},
        {"3", nullptr, 3},
        {"3", "5", 3},
        {"+4", nullptr, 4},
        {nullptr, "5", 5},
        {"abc", "5", 5},   // not a number: the second variable decides
        {"", "5", 5},
        {" 3", "5", 5},
        {"-1", "5", 5},
        {"3.5", nullptr, 6},
        {"99999999999999999999999", "2", 2},  // beyond size_t: not a number
        {"0", "5", 6},     // an explicit 0 asks for the processor count
        {"000", "5", 6},
        {nullptr, "0", 6},
        {"x", "y", 6},
        {"100000", nullptr, MAX_WORKERS},
        {nullptr, nullptr, 0},  // no processor reported: still one worker
    };
    for (const Case& c : cases) {
        const std::size_t available = c.expected == 0 ? 0 : 6;
        EXPECT_EQ(pool_size_from_env(c.num_threads, c.rs_num_cpus, available), c.expected == 0 ? 1 : c.expected)
            << (c.num_threads ? c.num_threads : "unset") << " / " << (c.rs_num_cpus ? c.rs_num_cpus : "unset");
    }
    cpu_set_t set;
    ASSERT_EQ(sched_getaffinity(0, sizeof set, &set), 0);
    EXPECT_EQ(available_processors(), static_cast<std::size_t>(CPU_COUNT(&set)));
}

TEST(EccPool, SameRecordsForAnyWorkerCount) {
    const DirtyPacket p = dirty_packet(99);
    ASSERT_GT(p.expected.size(), 300u);
    for (std::size_t workers : {0, 1, 2, 3, 5, 8}) {
        WorkerPool pool(workers);
        for (int round = 0; round < 3; ++round) {
            const auto r = ecc_check(p.bytes, pool);
            ASSERT_TRUE(r.ok());
            EXPECT_EQ(r.value(), p.expected) << workers << " workers";
        }
    }
    const auto r = ecc_check(p.bytes);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r.value(), p.expected);
}

// A child forked while the process-wide pool is running has none of its threads; its first check
// starts a pool of its own, sized from its environment.
TEST(EccPool, ForkedChildChecksWithItsOwnPool) {
    const DirtyPacket p = dirty_packet(5);
    ASSERT_TRUE(ecc_check(p.bytes).ok());  // the parent's pool is running
    for (const char* workers : {"1", "3"}) {
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            setenv("RAYON_NUM_THREADS", workers, 1);
            const auto r = ecc_check(p.bytes);
            const bool same = r.ok() && r.value() == p.expected;
            const bool sized = global_pool().size() == std::strtoul(workers, nullptr, 10);
            _exit(same && sized ? 0 : 1);
        }
        EXPECT_EQ(wait_with_timeout(pid, 10), 0) << "RAYON_NUM_THREADS=" << workers;
    }
    // The parent's pool still works.
    const auto r = ecc_check(p.bytes);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r.value(), p.expected);
}

// Runs in a fresh process started by the test below: the global pool must have the size that the
// environment asks for and give the sequential result.
TEST(EccPoolChild, GlobalPoolFollowsEnvironment) {
    const char* expected = std::getenv("BRIMO_ECC_EXPECT_WORKERS");
    if (expected == nullptr) GTEST_SKIP() << "only run as a subprocess";
    const DirtyPacket p = dirty_packet(11);
    const auto r = ecc_check(p.bytes);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r.value(), p.expected);
    EXPECT_EQ(global_pool().size(), std::strtoul(expected, nullptr, 10));
}

TEST(EccPool, SubprocessPoolSizedByEnvironment) {
    struct Case {
        std::vector<std::string> env;
        const char* expected;
    };
    const Case cases[] = {
        {{"RAYON_NUM_THREADS=1"}, "1"},
        {{"RAYON_NUM_THREADS=4"}, "4"},
        {{"RAYON_NUM_THREADS=many", "RAYON_RS_NUM_CPUS=3"}, "3"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> env = c.env;
        env.push_back(std::string("BRIMO_ECC_EXPECT_WORKERS=") + c.expected);
        for (char** e = environ; *e != nullptr; ++e) {
            const std::string var = *e;
            if (var.rfind("RAYON_", 0) != 0 && var.rfind("GTEST_", 0) != 0) env.push_back(var);
        }
        std::vector<char*> envp;
        for (auto& s : env) envp.push_back(s.data());
        envp.push_back(nullptr);
        std::string exe = "/proc/self/exe", filter = "--gtest_filter=EccPoolChild.*";
        char* argv[] = {exe.data(), filter.data(), nullptr};
        pid_t pid = 0;
        // posix_spawn opens standard output as the parent's: silence the child's report.
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
        ASSERT_EQ(posix_spawn(&pid, exe.c_str(), &actions, nullptr, argv, envp.data()), 0);
        posix_spawn_file_actions_destroy(&actions);
        EXPECT_EQ(wait_with_timeout(pid, 10), 0) << c.env[0];
    }
}
