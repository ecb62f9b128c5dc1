// A line filter for bench/link_latency.py: the server's own cipher, so making
// and opening envelopes costs no process start.
//   envelope_tool enc PASS    each stdin line -> its envelope
//   envelope_tool dec PASS    each stdin envelope -> its clear text
//   envelope_tool time PASS N median microseconds of N EncryptText calls
//                             (one PBKDF2-HMAC-SHA-512 derivation each)
//   envelope_tool time-batch PASS N  median microseconds per derivation
//                             when N derivations run as one batch of vector
//                             lanes, and when they run one by one
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "cipher/engine.h"
#include "cipher/envelope.h"
#include "cipher/pbkdf2.h"

namespace {

// Median microseconds per derivation of Rounds runs of Run, which derives N.
template <class F>
double PerDerivation(int N, F Run) {
    std::vector<double> us;
    for (int Round = 0; Round < 9; ++Round) {
        const auto t0 = std::chrono::steady_clock::now();
        if (!Run()) std::exit(1);
        const auto t1 = std::chrono::steady_clock::now();
        us.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count() / N);
    }
    std::sort(us.begin(), us.end());
    return us[us.size() / 2];
}

int TimeBatch(const std::string& Pass, int N) {
    std::vector<zv::Bytes> Salts, Keys(N, zv::Bytes(48));
    for (int i = 0; i < N; ++i) Salts.push_back({1, 2, 3, 4, 5, 6, 7, std::uint8_t(i)});
    std::vector<zv::Pbkdf2Job> Jobs;
    for (int i = 0; i < N; ++i) Jobs.push_back({zv::AsBytes(Pass), Salts[i], Keys[i]});
    const double Batch = PerDerivation(N, [&] {
        zv::Pbkdf2Sha512Batch(Jobs, zv::kPbkdf2Iterations);
        return std::all_of(Jobs.begin(), Jobs.end(), [](const zv::Pbkdf2Job& J) { return J.ok; });
    });
    const double Alone = PerDerivation(N, [&] {
        for (int i = 0; i < N; ++i)
            if (!zv::Pbkdf2Sha512(zv::AsBytes(Pass), Salts[i], zv::kPbkdf2Iterations, Keys[i]))
                return false;
        return true;
    });
    std::printf("%d derivations, %zu lanes: %.1f us each as a batch, %.1f us each one by one\n", N,
                zv::Pbkdf2Lanes(), Batch, Alone);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: envelope_tool enc|dec|time|time-batch PASS [N]\n");
        return 2;
    }
    const std::string mode = argv[1];
    const std::string pass = argv[2];
    if (mode == "time-batch")
        return TimeBatch(pass, argc > 3 ? std::max(1, std::atoi(argv[3])) : 8);
    if (mode == "time") {
        const int n = argc > 3 ? std::max(1, std::atoi(argv[3])) : 50;
        std::vector<double> us;
        for (int i = 0; i < n; ++i) {
            const auto t0 = std::chrono::steady_clock::now();
            const std::string e = zv::EncryptText("12345678", pass);
            const auto t1 = std::chrono::steady_clock::now();
            if (e.empty()) return 1;
            us.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
        }
        std::sort(us.begin(), us.end());
        std::printf("%.1f\n", us[us.size() / 2]);
        return 0;
    }
    std::string line;
    while (std::getline(std::cin, line)) {
        std::cout << (mode == "enc" ? zv::EncryptText(line, pass) : zv::DecryptText(line, pass))
                  << '\n'
                  << std::flush;
    }
    return 0;
}
