// Append and parallel read throughput of the database object per compression kind and thread
// count. Each thread count runs in a forked child so that the worker pool starts at that size.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <numeric>
#include <random>
#include <string>

#include "bench/bench_util.hpp"
#include "engine/storage/database.hpp"
#include "engine/storage/soa.hpp"
#include "platform/file.hpp"
#include "platform/thread_pool.hpp"

using namespace kestrove;
using storage::AtomDatabase;

namespace {

constexpr size_t kBatch = 1000;
constexpr size_t kReadBatch = 256;

void run_reads(const std::string& path, size_t count, double raw_bytes) {
    std::mt19937_64 rng(7);
    std::uniform_int_distribution<size_t> pick(0, count - 1);
    const size_t batches = 200;
    std::vector<std::vector<size_t>> plans(batches, std::vector<size_t>(kReadBatch));
    for (auto& plan : plans)
        for (auto& i : plan) i = pick(rng);
    const double mean_record = raw_bytes / static_cast<double>(count);

    for (bool mmap : {false, true}) {
        auto db = std::move(AtomDatabase::open_with_options(path, mmap, false)).value();
        bench::Stopwatch clock;
        size_t got = 0;
        for (const auto& plan : plans) {
            auto out = db.read_decompress_parallel(plan);
            if (!out.ok()) std::abort();
            got += out->records.size();
        }
        const double s = clock.seconds();
        std::printf("    read_decompress_parallel (%s) %9.0f mol/s %8.1f MB/s\n",
                    mmap ? "mmap" : "file", got / s, bench::mb(got * mean_record) / s);
        if (mmap) {
            bench::Stopwatch share_clock;
            size_t shares = 0;
            for (const auto& plan : plans) {
                for (size_t i : plan) shares += db.get_shared_mmap_bytes(i).has_value();
            }
            const double ss = share_clock.seconds();
            std::printf("    zero-copy shares (1 thread)     %9.0f mol/s\n", shares / ss);
        }
    }
}

constexpr const char* kUsage =
    "usage: bench_database [COUNT [DIR]]\n"
    "  COUNT  molecules to append and read back (default 100000)\n"
    "  DIR    directory for the database files (default /tmp)\n";

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && (std::strcmp(argv[1], "-h") == 0 || std::strcmp(argv[1], "--help") == 0)) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    char* end = nullptr;
    const size_t count = argc > 1 ? std::strtoul(argv[1], &end, 10) : 100000;
    if (argc > 3 || (argc > 1 && (end == argv[1] || *end != '\0' || count == 0))) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    const std::string dir = argc > 2 ? argv[2] : "/tmp";
    std::printf("generating %zu molecules...\n", count);
    const auto molecules = bench::realistic_molecules(count);
    std::vector<const atom::Molecule*> pointers(count);
    for (size_t i = 0; i < count; ++i) pointers[i] = &molecules[i];
    double raw_bytes = 0;
    std::vector<Bytes> records;
    records.reserve(count);
    for (const auto& m : molecules) {
        records.push_back(std::move(storage::soa::serialize_molecule_soa(m, 2)).value());
        raw_bytes += static_cast<double>(records.back().size());
    }
    {
        // The floor for an uncompressed append: the same bytes handed to the kernel in as few
        // writes as it takes, into a new file (one that an earlier run left is removed first).
        const std::string path = dir + "/kestrove_bench_raw.bin";
        std::remove(path.c_str());
        auto made = platform::create_new(path);
        if (!made.ok()) return 1;
        platform::File& file = made.value().file;
        std::vector<std::span<const uint8_t>> pieces(records.begin(), records.end());
        bench::Stopwatch clock;
        if (!file.write_all_gather(pieces).ok()) return 1;
        const double s = clock.seconds();
        std::printf("bare write of the records:   %9.0f mol/s %8.1f MB/s\n", count / s,
                    bench::mb(raw_bytes) / s);
        std::remove(path.c_str());
    }
    records.clear();

    const std::pair<const char*, compression::CompressionType> kinds[] = {
        {"none", {0, 0}}, {"lz4", {1, 0}}, {"zstd-3", {2, 3}}};
    for (const auto& [name, kind] : kinds) {
        const std::string path = dir + "/kestrove_bench_" + name + ".db";
        std::printf("== %s (%.1f MB of records)\n", name, bench::mb(raw_bytes));
        for (size_t threads : {1, 2, 4, 8}) {
            std::fflush(stdout);
            const pid_t child = fork();
            if (child == 0) {
                setenv("RAYON_NUM_THREADS", std::to_string(threads).c_str(), 1);
                std::printf("  %zu thread(s)\n", threads);
                // Each pool size writes the same scratch file afresh.
                auto db = std::move(AtomDatabase::create_with_format(
                                        path, kind.kind, kind.level,
                                        AtomDatabase::ExistingFile::kReplace))
                              .value();
                bench::Stopwatch clock;
                for (size_t at = 0; at < count; at += kBatch) {
                    const size_t n = std::min(kBatch, count - at);
                    if (!db.add_molecules({pointers.data() + at, n}).ok()) std::abort();
                }
                const double append_s = clock.seconds();
                bench::Stopwatch flush_clock;
                if (!db.flush().ok()) std::abort();
                const double flush_s = flush_clock.seconds();
                std::printf("    append        %9.0f mol/s %8.1f MB/s (of records)\n",
                            count / append_s, bench::mb(raw_bytes) / append_s);
                std::printf("    flush (sync)  %9.1f ms\n", flush_s * 1e3);
                run_reads(path, count, raw_bytes);
                std::fflush(stdout);
                _exit(0);
            }
            int status = 0;
            waitpid(child, &status, 0);
            if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return 1;
        }
        std::remove(path.c_str());
    }
    return 0;
}
