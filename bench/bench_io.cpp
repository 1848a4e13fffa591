// Throughput of the record compressor, its decoder, MD5 and the whole record
// path of the I/O channel, over corpus files named by the environment:
//   IO_BENCH_TEXT    a text corpus (e.g. C headers)
//   IO_BENCH_BINARY  a binary corpus (e.g. executables)
// bench/io_vs_tools.sh builds both and compares with the usual tools.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "cksum.h"
#include "compress.h"
#include "io_chan.h"

namespace {

const std::vector<unsigned char>* load(const char* var) {
    const char* path = getenv(var);
    if (!path) return nullptr;
    int fd = open(path, O_RDONLY);
    if (fd < 0) return nullptr;
    auto* data = new std::vector<unsigned char>;
    unsigned char buf[65536];
    for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;) data->insert(data->end(), buf, buf + n);
    close(fd);
    return data;
}

const std::vector<unsigned char>* corpus(int which) {
    static const std::vector<unsigned char>* text = load("IO_BENCH_TEXT");
    static const std::vector<unsigned char>* binary = load("IO_BENCH_BINARY");
    return which == 0 ? text : binary;
}

const char* corpus_name(int which) {
    return which == 0 ? "IO_BENCH_TEXT" : "IO_BENCH_BINARY";
}

// Compresses the corpus record by record, as the channel does.
void BM_Compress(benchmark::State& state) {
    const auto* data = corpus((int)state.range(0));
    if (!data) return state.SkipWithError(corpus_name((int)state.range(0)));
    const long rec = IOCH_DFLT_RECSIZE;
    std::vector<unsigned char> out(COMPRESS_BOUND(rec));
    size_t produced = 0;
    for (auto _ : state) {
        produced = 0;
        for (size_t at = 0; at < data->size(); at += rec) {
            long n = (long)std::min<size_t>(rec, data->size() - at);
            produced += (size_t)compress_chunk(data->data() + at, n, out.data());
        }
        benchmark::DoNotOptimize(produced);
    }
    state.SetBytesProcessed((int64_t)(state.iterations() * data->size()));
    state.counters["ratio"] = (double)produced / (double)data->size();
}

void BM_Decompress(benchmark::State& state) {
    const auto* data = corpus((int)state.range(0));
    if (!data) return state.SkipWithError(corpus_name((int)state.range(0)));
    const long rec = IOCH_DFLT_RECSIZE;
    std::vector<std::vector<unsigned char>> chunks;
    for (size_t at = 0; at < data->size(); at += rec) {
        std::vector<unsigned char> c(COMPRESS_BOUND(rec));
        long n = (long)std::min<size_t>(rec, data->size() - at);
        c.resize((size_t)compress_chunk(data->data() + at, n, c.data()));
        chunks.push_back(std::move(c));
    }
    std::vector<unsigned char> out(COMPRESS_MAX_OUT);
    for (auto _ : state) {
        for (const auto& c : chunks)
            benchmark::DoNotOptimize(decompress_body(c.data() + 2, (long)c.size() - 2, c[0] & 0x80,
                                                     out.data(), COMPRESS_MAX_OUT));
    }
    state.SetBytesProcessed((int64_t)(state.iterations() * data->size()));
}

void BM_Md5(benchmark::State& state) {
    const auto* data = corpus(1);
    if (!data) return state.SkipWithError(corpus_name(1));
    unsigned char digest[CKSUM_DIGEST_LEN];
    for (auto _ : state) {
        cksum_md5 md;
        cksum_md5_init(&md);
        cksum_md5_update(&md, data->data(), data->size());
        cksum_md5_final(&md, digest);
        benchmark::DoNotOptimize(digest);
    }
    state.SetBytesProcessed((int64_t)(state.iterations() * data->size()));
}

// The record path into /dev/null: range(0) check bytes, range(1) compression.
void BM_ChannelWrite(benchmark::State& state) {
    const auto* data = corpus(0);
    if (!data) return state.SkipWithError(corpus_name(0));
    for (auto _ : state) {
        ioch* ch = ioch_fd_init(open("/dev/null", O_WRONLY));
        ioch_options(ch, 0, (int)state.range(1), (int)state.range(0));
        // Pieces of a node stream: a header-sized write, then a body.
        for (size_t at = 0; at < data->size(); at += 65536) {
            long n = (long)std::min<size_t>(65536, data->size() - at);
            ioch_write(ch, data->data() + at, 110);
            ioch_write(ch, data->data() + at, n);
        }
        ioch_write(ch, "", 0);
        ioch_dispose(ch);
    }
    state.SetBytesProcessed((int64_t)(state.iterations() * data->size()));
}

}  // namespace

BENCHMARK(BM_Compress)->Arg(0)->Arg(1)->ArgName("binary")->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Decompress)->Arg(0)->Arg(1)->ArgName("binary")->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Md5)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ChannelWrite)
    ->Args({0, 0})
    ->Args({1, 0})
    ->Args({0, 1})
    ->Args({1, 1})
    ->ArgNames({"cksum", "compress"})
    ->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
