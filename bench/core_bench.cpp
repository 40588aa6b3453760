// core_bench [--quick] [--sizes N,N,...]: setup time, wake latency and memory of our watch
// against the floor (a bare walk that adds one inotify watch per directory), on the same trees in
// the same run. Runs alternate between the two so drifting load affects both alike.
#include <fcntl.h>
#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench/floor_watcher.h"
#include "bench/tree_fixture.h"
#include "monitor/monitor.h"

namespace {

using Clock = std::chrono::steady_clock;

double microsecondsSince(Clock::time_point start, Clock::time_point end) {
    return std::chrono::duration<double, std::micro>(end - start).count();
}

double percentile(std::vector<double> values, double fraction) {
    std::sort(values.begin(), values.end());
    return values[static_cast<std::size_t>(fraction * static_cast<double>(values.size() - 1))];
}

std::size_t heapBytes() {
    struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
}

std::size_t residentBytes() {
    long pages = 0;
    long resident = 0;
    if (FILE* statm = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(statm, "%ld %ld", &pages, &resident) != 2) resident = 0;
        std::fclose(statm);
    }
    return static_cast<std::size_t>(resident) * static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
}

// Latency from just before a one-byte append in the deepest directory to the waiting thread
// coming back, with a few milliseconds between samples so the waiter is blocked each time.
std::vector<double> measureWakes(const std::string& directory, int samples,
                                 const std::function<void()>& waitOnce) {
    std::string file = directory + "/latency-probe";
    int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    std::mutex lock;
    std::condition_variable woken;
    int returned = 0;
    Clock::time_point returnedAt;
    bool done = false;
    std::thread waiter([&] {
        for (;;) {
            waitOnce();
            std::lock_guard<std::mutex> hold(lock);
            returnedAt = Clock::now();
            ++returned;
            woken.notify_all();
            if (done) return;
        }
    });
    std::vector<double> latencies;
    for (int i = 0; i <= samples; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(3));
        std::unique_lock<std::mutex> hold(lock);
        int before = returned;
        done = i == samples;
        hold.unlock();
        Clock::time_point writtenAt = Clock::now();
        if (write(fd, "x", 1) != 1) std::perror("write");
        hold.lock();
        woken.wait(hold, [&] { return returned > before; });
        if (i > 0) latencies.push_back(microsecondsSince(writtenAt, returnedAt));
    }
    waiter.join();
    close(fd);
    unlink(file.c_str());
    return latencies;
}

struct Result {
    std::size_t directories;
    double floorSetupMs;
    double oursSetupMs;
    double heapPerDirectory;
    double residentPerDirectory;
    std::vector<double> floorWakes;
    std::vector<double> oursWakes;
};

Result measure(std::size_t directories, int rounds, int samples) {
    bench::BenchTree tree = bench::ensureTree(directories);
    Result result{directories, 0, 0, 0, 0, {}, {}};
    std::vector<double> floorSetups;
    std::vector<double> oursSetups;
    // The first round only warms the page cache.
    for (int round = 0; round <= rounds; ++round) {
        bench::FloorWatcher floor;
        Clock::time_point start = Clock::now();
        if (!floor.start(tree.root)) std::fprintf(stderr, "floor could not watch the tree\n");
        Clock::time_point end = Clock::now();
        floor.stop();
        if (round > 0) floorSetups.push_back(microsecondsSince(start, end) / 1000);

        std::size_t heapBefore = heapBytes();
        std::size_t residentBefore = residentBytes();
        start = Clock::now();
        if (!startWatch(tree.root.c_str())) std::fprintf(stderr, "could not watch the tree\n");
        end = Clock::now();
        if (round > 0) oursSetups.push_back(microsecondsSince(start, end) / 1000);
        result.heapPerDirectory =
            static_cast<double>(heapBytes() - heapBefore) / static_cast<double>(directories);
        result.residentPerDirectory = static_cast<double>(residentBytes() - residentBefore) /
                                      static_cast<double>(directories);
        requestStop();
        waitForChange();
    }
    result.floorSetupMs = percentile(floorSetups, 0.5);
    result.oursSetupMs = percentile(oursSetups, 0.5);

    bench::FloorWatcher floor;
    floor.start(tree.root);
    result.floorWakes = measureWakes(tree.deepestDirectory, samples, [&] { floor.waitForEvent(); });
    floor.stop();

    startWatch(tree.root.c_str());
    result.oursWakes = measureWakes(tree.deepestDirectory, samples, [] { waitForChange(); });
    requestStop();
    waitForChange();
    return result;
}

std::vector<std::size_t> parseSizes(const char* list) {
    std::vector<std::size_t> sizes;
    for (const char* at = list; *at != '\0';) {
        char* end = nullptr;
        sizes.push_back(std::strtoul(at, &end, 10));
        at = *end == ',' ? end + 1 : end;
    }
    return sizes;
}

}  // namespace

int main(int argc, char** argv) {
    bool quick = false;
    std::vector<std::size_t> sizes{1000, 10000, 100000};
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--quick") == 0) {
            quick = true;
        } else if (std::strcmp(argv[i], "--sizes") == 0 && i + 1 < argc) {
            sizes = parseSizes(argv[++i]);
        } else {
            std::fprintf(stderr, "usage: %s [--quick] [--sizes N,N,...]\n", argv[0]);
            return 2;
        }
    }
    int rounds = quick ? 3 : 9;
    int samples = quick ? 50 : 300;

    std::printf(
        "| directories | setup floor (ms) | setup ours (ms) | ratio | heap B/dir | "
        "resident B/dir | wake p50 floor / ours (us) | p90 | p99 |\n");
    std::printf("|---|---|---|---|---|---|---|---|---|\n");
    for (std::size_t size : sizes) {
        Result r = measure(size, rounds, samples);
        std::printf(
            "| %zu | %.1f | %.1f | %.3f | %.1f | %.1f | %.1f / %.1f | %.1f / %.1f | "
            "%.1f / %.1f |\n",
            r.directories, r.floorSetupMs, r.oursSetupMs, r.oursSetupMs / r.floorSetupMs,
            r.heapPerDirectory, r.residentPerDirectory, percentile(r.floorWakes, 0.5),
            percentile(r.oursWakes, 0.5), percentile(r.floorWakes, 0.9),
            percentile(r.oursWakes, 0.9), percentile(r.floorWakes, 0.99),
            percentile(r.oursWakes, 0.99));
        std::fflush(stdout);
    }
    return 0;
}
