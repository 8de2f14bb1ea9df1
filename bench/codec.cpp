// Single-thread throughput of record serialisation, compression and decompression per kind,
// next to the bare codec on the same bytes.
#include <lz4.h>
#include <lz4hc.h>
#include <zstd.h>

#include <cstdio>
#include <cstdlib>

#include "bench/bench_util.hpp"
#include "engine/compression.hpp"
#include "engine/storage/soa.hpp"

using namespace kestrove;

int main(int argc, char** argv) {
    const size_t count = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 20000;
    const auto molecules = bench::realistic_molecules(count);

    std::vector<Bytes> records;
    records.reserve(count);
    double raw_bytes = 0;
    bench::Stopwatch serialise_clock;
    for (const auto& m : molecules) {
        records.push_back(std::move(storage::soa::serialize_molecule_soa(m, 2)).value());
    }
    const double serialise_s = serialise_clock.seconds();
    for (const auto& r : records) raw_bytes += static_cast<double>(r.size());
    std::printf("%zu molecules, %.1f MB of records (mean %.0f B)\n", count, bench::mb(raw_bytes),
                raw_bytes / static_cast<double>(count));
    std::printf("serialise            %9.0f mol/s %8.1f MB/s\n", count / serialise_s,
                bench::mb(raw_bytes) / serialise_s);

    struct Kind {
        const char* name;
        compression::CompressionType type;
    };
    const Kind kinds[] = {{"none", {0, 0}}, {"lz4", {1, 0}}, {"zstd-3", {2, 3}}};
    for (const Kind& kind : kinds) {
        std::vector<Bytes> packed;
        packed.reserve(count);
        bench::Stopwatch c_clock;
        for (const auto& r : records)
            packed.push_back(std::move(compression::compress(r, kind.type)).value());
        const double c_s = c_clock.seconds();
        double packed_bytes = 0;
        for (const auto& p : packed) packed_bytes += static_cast<double>(p.size());
        bench::Stopwatch d_clock;
        for (size_t i = 0; i < count; ++i) {
            auto out = compression::decompress(packed[i], kind.type, records[i].size());
            if (!out.ok() || out->size() != records[i].size()) std::abort();
        }
        const double d_s = d_clock.seconds();

        // The bare library on the same bytes, with one reused context and preallocated output.
        double bare_c_s = 0, bare_d_s = 0;
        if (kind.type.kind != 0) {
            std::vector<char> dst(ZSTD_compressBound(1 << 20) + LZ4_compressBound(1 << 20));
            std::vector<char> state(LZ4_sizeofStateHC());
            ZSTD_CCtx* cctx = ZSTD_createCCtx();
            ZSTD_DCtx* dctx = ZSTD_createDCtx();
            ZSTD_CCtx_setParameter(cctx, ZSTD_c_compressionLevel, kind.type.level);
            bench::Stopwatch bc;
            for (const auto& r : records) {
                if (kind.type.kind == 1) {
                    LZ4_compress_HC_extStateHC(
                        state.data(), reinterpret_cast<const char*>(r.data()), dst.data(),
                        static_cast<int>(r.size()), static_cast<int>(dst.size()), 12);
                } else {
                    ZSTD_compress2(cctx, dst.data(), dst.size(), r.data(), r.size());
                }
            }
            bare_c_s = bc.seconds();
            bench::Stopwatch bd;
            for (size_t i = 0; i < count; ++i) {
                if (kind.type.kind == 1) {
                    LZ4_decompress_safe(reinterpret_cast<const char*>(packed[i].data()), dst.data(),
                                        static_cast<int>(packed[i].size()),
                                        static_cast<int>(dst.size()));
                } else {
                    ZSTD_decompressDCtx(dctx, dst.data(), dst.size(), packed[i].data(),
                                        packed[i].size());
                }
            }
            bare_d_s = bd.seconds();
            ZSTD_freeCCtx(cctx);
            ZSTD_freeDCtx(dctx);
        }
        std::printf(
            "%-7s ratio %5.2f  compress %8.1f MB/s (bare %8.1f)  decompress %8.1f MB/s"
            " (bare %8.1f)\n",
            kind.name, raw_bytes / packed_bytes, bench::mb(raw_bytes) / c_s,
            bare_c_s > 0 ? bench::mb(raw_bytes) / bare_c_s : 0.0, bench::mb(raw_bytes) / d_s,
            bare_d_s > 0 ? bench::mb(raw_bytes) / bare_d_s : 0.0);
    }
    return 0;
}
