// watch_serve floor|ours ROOT [--lines]: the floor or our watch as a process of its own, for the
// measurements taken from outside (idle cost, resident size, change storms) and to calibrate
// what a pipe adds to a watcher's latency.
//
// Without --lines it prints "ready" once the tree is watched, counts the waits that return on a
// thread of their own, answers each "count" line on standard input with "count N", and exits at
// the end of its input. With --lines it behaves like `inotifywait -m`: "Watches established." on
// standard error, then one line on standard output for each wait that returns.
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <functional>
#include <iostream>
#include <string>
#include <thread>

#include "bench/floor_watcher.h"
#include "monitor/monitor.h"

namespace {

struct Subject {
    std::function<bool(const std::string&)> start;
    // Blocks until a change or the stop; false for the stop.
    std::function<bool()> wait;
    std::function<void()> stop;
};

Subject floorSubject(bench::FloorWatcher* floor) {
    return {[floor](const std::string& root) { return floor->start(root); },
            [floor] { return floor->waitForEvent(); }, [floor] { floor->requestStop(); }};
}

Subject oursSubject(const std::atomic<bool>* stopping) {
    return {[](const std::string& root) { return startWatch(root.c_str()); },
            [stopping] {
                waitForChange();
                return !stopping->load();
            },
            [] { requestStop(); }};
}

void printLines(const Subject& subject) {
    std::fprintf(stderr, "Watches established.\n");
    std::fflush(stderr);
    static const char LINE[] = "change\n";
    while (subject.wait()) {
        if (write(STDOUT_FILENO, LINE, sizeof LINE - 1) < 0) return;
    }
}

void serveCounts(const Subject& subject, std::atomic<bool>* stopping) {
    std::atomic<unsigned long> waits{0};
    std::thread waiter([&] {
        while (subject.wait())
            waits.fetch_add(1, std::memory_order_relaxed);
    });
    std::printf("ready\n");
    std::fflush(stdout);
    for (std::string line; std::getline(std::cin, line);) {
        if (line == "count") std::printf("count %lu\n", waits.load());
        std::fflush(stdout);
    }
    stopping->store(true);
    subject.stop();
    waiter.join();
}

}  // namespace

int main(int argc, char** argv) {
    bool lines = argc == 4 && std::strcmp(argv[3], "--lines") == 0;
    if ((argc != 3 && !lines) ||
        (std::strcmp(argv[1], "floor") != 0 && std::strcmp(argv[1], "ours") != 0)) {
        std::fprintf(stderr, "usage: %s floor|ours ROOT [--lines]\n", argv[0]);
        return 2;
    }
    bench::FloorWatcher floor;
    std::atomic<bool> stopping{false};
    Subject subject =
        std::strcmp(argv[1], "floor") == 0 ? floorSubject(&floor) : oursSubject(&stopping);
    if (!subject.start(argv[2])) {
        std::fprintf(stderr, "%s: cannot watch %s\n", argv[0], argv[2]);
        return 1;
    }
    if (lines) {
        printLines(subject);
    } else {
        serveCounts(subject, &stopping);
    }
    return 0;
}
