// Cost of one envelope against the SHA-512 floor: PBKDF2-HMAC-SHA-512 with
// 10000 iterations needs 20000 block compressions at the least.
//   cipher_bench [--benchmark_filter=...]
// Prints the median of 9 repetitions of each, then the ratio envelope / floor
// (goal: at most 1.10).
#define OPENSSL_SUPPRESS_DEPRECATED
#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <openssl/sha.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "cipher/envelope.h"

namespace {

const std::string kText(64, 'x');
const std::string kPassPhrase = "QJ7X KD Wander";

void EncryptText64(benchmark::State& State) {
    for (auto _ : State) benchmark::DoNotOptimize(zv::EncryptText(kText, kPassPhrase));
}

void DecryptText64(benchmark::State& State) {
    const std::string Envelope = zv::EncryptText(kText, kPassPhrase);
    for (auto _ : State) benchmark::DoNotOptimize(zv::DecryptText(Envelope, kPassPhrase));
}

void OpenSslPbkdf2(benchmark::State& State) {
    const unsigned char Salt[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    unsigned char Out[48];
    for (auto _ : State) {
        if (!PKCS5_PBKDF2_HMAC(kPassPhrase.data(), static_cast<int>(kPassPhrase.size()), Salt,
                               sizeof Salt, 10000, EVP_sha512(), sizeof Out, Out))
            State.SkipWithError("PKCS5_PBKDF2_HMAC failed");
        benchmark::DoNotOptimize(Out);
    }
}

void Floor20000Compressions(benchmark::State& State) {
    SHA512_CTX Ctx;
    SHA512_Init(&Ctx);
    unsigned char Block[SHA512_CBLOCK] = {};
    for (auto _ : State) {
        for (int i = 0; i < 20000; ++i) {
            SHA512_Transform(&Ctx, Block);
            Block[0] = static_cast<unsigned char>(Ctx.h[0]);  // chain like PBKDF2 does
        }
        benchmark::DoNotOptimize(Ctx.h);
    }
}

constexpr int kRepetitions = 9;

BENCHMARK(EncryptText64)
    ->Unit(benchmark::kMillisecond)
    ->Repetitions(kRepetitions)
    ->ReportAggregatesOnly(true);
BENCHMARK(DecryptText64)
    ->Unit(benchmark::kMillisecond)
    ->Repetitions(kRepetitions)
    ->ReportAggregatesOnly(true);
BENCHMARK(OpenSslPbkdf2)
    ->Unit(benchmark::kMillisecond)
    ->Repetitions(kRepetitions)
    ->ReportAggregatesOnly(true);
BENCHMARK(Floor20000Compressions)
    ->Unit(benchmark::kMillisecond)
    ->Repetitions(kRepetitions)
    ->ReportAggregatesOnly(true);

// Shows the usual console table and keeps the medians for the ratios.
class MedianReporter : public benchmark::ConsoleReporter {
  public:
    // Benchmark name -> median CPU time in ms; CPU time, because a busy machine
    // stretches wall time by whatever else runs.
    std::map<std::string, double> Medians;

    void ReportRuns(const std::vector<Run>& Runs) override {
        for (const Run& R : Runs)
            if (R.run_type == Run::RT_Aggregate && R.aggregate_name == "median")
                Medians[R.run_name.function_name] = R.GetAdjustedCPUTime();
        ConsoleReporter::ReportRuns(Runs);
    }
};

}  // namespace

int main(int argc, char** argv) {
    // Repetitions of the four run interleaved, so a load that comes and goes
    // on this machine does not fall on one benchmark alone.
    std::vector<char*> Args(argv, argv + argc);
    char Interleave[] = "--benchmark_enable_random_interleaving=true";
    Args.insert(Args.begin() + 1, Interleave);
    argc = static_cast<int>(Args.size());
    argv = Args.data();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    MedianReporter Reporter;
    benchmark::RunSpecifiedBenchmarks(&Reporter);
    benchmark::Shutdown();

    const auto& M = Reporter.Medians;
    const auto Floor = M.find("Floor20000Compressions");
    if (Floor == M.end()) return 0;
    std::fflush(stdout);
    std::printf("\nmedian CPU time, ratio to the floor (%.3f ms):\n", Floor->second);
    for (const char* Name : {"EncryptText64", "DecryptText64", "OpenSslPbkdf2"})
        if (const auto It = M.find(Name); It != M.end())
            std::printf("  %-14s %.3f ms  ratio %.3f%s\n", Name, It->second,
                        It->second / Floor->second,
                        std::string(Name).ends_with("Text64") ? "  (goal <= 1.10)" : "");
    return 0;
}
