// Prints how long the serving loops' polls wait for the lock on the last-seen times they note
// while the server's writer takes them out in batches: two threads stand in for the loops, each
// noting a poll every 200 us for USERS users (each once), and a third for the writer, taking them
// every second in batches of up to 8,192, each followed by 20 ms for the store's commit, until
// every time is written. What a poll waits for is the writer's work under the lock,
// and the table of times written growing as it fills.
//   presence_lock_bench [USERS]    default 500000
#include "LoadGen.h"
#include "chatserver/store/PendingPresence.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

namespace {

using bench::Clock;

double microsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

// Notes a poll of every other user from `first` on, paced, and gives each note's time in us.
std::vector<double> poll(chatserver::PendingPresence& pending, qint64 first, qint64 users) {
    std::vector<double> waits;
    waits.reserve(std::size_t(users / 2 + 1));
    auto next = Clock::now();
    for (qint64 id = first; id <= users; id += 2) {
        std::this_thread::sleep_until(next);
        next += std::chrono::microseconds(200);
        const auto start = Clock::now();
        pending.touch(id, 1'000'000);
        waits.push_back(microsSince(start));
    }
    return waits;
}

} // namespace

int main(int argc, char** argv) {
    const qint64 users = argc > 1 ? std::atoll(argv[1]) : 500'000;
    if (users <= 0) {
        std::fprintf(stderr, "usage: presence_lock_bench [USERS]\n");
        return 1;
    }
    chatserver::PendingPresence pending;
    std::atomic<int> polling{2};
    std::vector<double> waits[2];
    std::thread loops[2];
    for (int i = 0; i < 2; ++i)
        loops[i] = std::thread([&, i] {
            waits[i] = poll(pending, i + 1, users);
            --polling;
        });
    // The writer's round: every second, batches of up to 8,192 until none is left, each followed
    // by the time its commit takes.
    double longestTake = 0, longestMove = 0;
    qint64 written = 0;
    for (auto round = Clock::now(); polling > 0 || pending.size() > 0;) {
        round += std::chrono::seconds(1);
        std::this_thread::sleep_until(round);
        while (pending.size() > 0) {
            auto start = Clock::now();
            const qsizetype taken = pending.beginWriting(8192).size();
            longestTake = std::max(longestTake, microsSince(start));
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            start = Clock::now();
            pending.written(taken);
            longestMove = std::max(longestMove, microsSince(start));
            written += taken;
        }
    }
    for (std::thread& loop : loops)
        loop.join();

    std::vector<double> all = waits[0];
    all.insert(all.end(), waits[1].begin(), waits[1].end());
    std::sort(all.begin(), all.end());
    const auto over = [&](double us) { return all.end() - std::upper_bound(all.begin(), all.end(), us); };
    std::printf("presence lock: %lld users noted by two loops, %lld written in batches of up to 8192\n",
                static_cast<long long>(users), static_cast<long long>(written));
    std::printf(
        "  a poll's note: p50 %.1f us, p99 %.1f us, p99.9 %.1f us, longest %.1f us; over 100 us %td, over 1 ms %td\n",
        bench::percentile(all, 50), bench::percentile(all, 99), bench::percentile(all, 99.9), all.back(), over(100),
        over(1000));
    std::printf("  the writer: longest batch taken %.1f us, longest batch put away %.1f us\n", longestTake,
                longestMove);
    return 0;
}
