// The pause the link's output thread makes after every packet (nanosleep of
// 1 ms), as long as it really lasts on this machine: the unit of the update
// protocol's floor in scripts/bench-update.sh. Prints the mean in
// microseconds. Not a test.
#include <time.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 2000;
    if (rounds <= 0)
        return 2;
    const timespec pause = {0, 1000000};
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < rounds; ++i)
        nanosleep(&pause, nullptr);
    auto us = std::chrono::duration_cast<std::chrono::microseconds>(
                  std::chrono::steady_clock::now() - start)
                  .count();
    std::printf("%.1f\n", static_cast<double>(us) / rounds);
    return 0;
}
