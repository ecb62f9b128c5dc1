// A line filter for bench/link_latency.py: the server's own cipher, so making
// and opening envelopes costs no process start.
//   envelope_tool enc PASS    each stdin line -> its envelope
//   envelope_tool dec PASS    each stdin envelope -> its clear text
//   envelope_tool time PASS N median microseconds of N EncryptText calls
//                             (one PBKDF2-HMAC-SHA-512 derivation each)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "cipher/envelope.h"

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: envelope_tool enc|dec|time PASS [N]\n");
        return 2;
    }
    const std::string mode = argv[1];
    const std::string pass = argv[2];
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
