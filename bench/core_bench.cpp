// core_bench: our watch against the floor (a bare walk that adds one inotify watch per
// directory) in one process, on one tree: setup time, heap and resident bytes per directory,
// stop and release time, and wake latency. Prints the raw samples as JSON for the harness.
//
//   core_bench --root DIR --probe DIR --directories N [--rounds K] [--samples S] [--gap-ms G]
//              [--floor-threads T1,T2...] [--wake-only]
//   core_bench --root DIR --start-once ours|floor [--threads T]
//   core_bench --root DIR --move-out N
//
// Setup rounds rotate the order of the watchers (ours, the floor, and the floor's walk shared by
// each number of threads given) so drifting load and the kernel's lazy release of the previous
// round's watches fall on each alike. --start-once times a single start with no warm-up, for
// the harness to run right after it has dropped the page cache. --move-out measures instead the
// CPU time our waiting thread spends per leaf directory moved out of the watched tree, one at a
// time.
#include <pthread.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "bench/floor_watcher.h"
#include "bench/json_output.h"
#include "bench/process_memory.h"
#include "bench/wake_probe.h"
#include "monitor/monitor.h"

namespace {

using Clock = std::chrono::steady_clock;

double millisecondsBetween(Clock::time_point start, Clock::time_point end) {
    return std::chrono::duration<double, std::milli>(end - start).count();
}

struct Options {
    std::string root;
    std::string probe;
    double directories = 0;
    int rounds = 9;
    int samples = 300;
    int gapMilliseconds = 3;
    bool wakeOnly = false;
    std::vector<int> floorThreads;
    std::string startOnce;
    int threads = 1;
    int moveOuts = 0;
};

struct Samples {
    std::vector<double> floorSetupMs, oursSetupMs;
    std::map<int, std::vector<double>> floorThreadsSetupMs;
    std::vector<double> heapPerDirectory, residentPerDirectory;
    std::vector<double> floorStopUs, floorReleaseMs;
    std::vector<double> oursStopMs, oursReleaseMs;
};

// Runs `wait` on a thread of its own and, once it has had time to block, calls `stop` and joins
// it. Returns when the stop was requested.
template <typename Wait, typename Stop>
Clock::time_point stopBlockedWait(Wait wait, Stop stop) {
    std::thread waiter(wait);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    Clock::time_point stopped = Clock::now();
    stop();
    waiter.join();
    return stopped;
}

// The floor's blocked wait stopped from this thread: when the stop was requested, when the wait
// returned, and when closing its inotify descriptor had released every watch.
struct FloorStop {
    Clock::time_point stopped, woken, released;
};

FloorStop stopFloor(bench::FloorWatcher* floor) {
    FloorStop times;
    times.stopped = stopBlockedWait(
        [&] {
            while (floor->waitForEvent()) {
            }
            times.woken = Clock::now();
            floor->release();
            times.released = Clock::now();
        },
        [&] { floor->requestStop(); });
    return times;
}

// Our blocked wait stopped from this thread: milliseconds from the request to its return.
double stopOursMs() {
    Clock::time_point returned;
    Clock::time_point stopped = stopBlockedWait(
        [&] {
            waitForChange();
            returned = Clock::now();
        },
        requestStop);
    return millisecondsBetween(stopped, returned);
}

void floorRound(const Options& options, int threads, bool keep, Samples* samples) {
    bench::FloorWatcher floor;
    Clock::time_point start = Clock::now();
    if (!floor.start(options.root, threads)) std::fprintf(stderr, "floor could not watch\n");
    Clock::time_point watched = Clock::now();
    FloorStop stop = stopFloor(&floor);
    if (!keep) return;
    if (threads > 1) {
        samples->floorThreadsSetupMs[threads].push_back(millisecondsBetween(start, watched));
        return;
    }
    samples->floorSetupMs.push_back(millisecondsBetween(start, watched));
    samples->floorStopUs.push_back(millisecondsBetween(stop.stopped, stop.woken) * 1000);
    samples->floorReleaseMs.push_back(millisecondsBetween(stop.woken, stop.released));
}

// Our wait releases the watch before it returns, so a blocked wait's stop includes the release.
// Alternate rounds time the release alone: the stop is requested first and the next wait, on the
// same thread, returns at once and releases.
void oursRound(const Options& options, bool blockedStop, bool keep, Samples* samples) {
    std::size_t heapBefore = bench::heapBytes();
    std::size_t residentBefore = bench::residentBytes();
    Clock::time_point start = Clock::now();
    if (!startWatch(options.root.c_str())) std::fprintf(stderr, "could not watch the tree\n");
    Clock::time_point watched = Clock::now();
    double heap = static_cast<double>(bench::heapBytes() - heapBefore);
    double resident =
        static_cast<double>(bench::residentBytes()) - static_cast<double>(residentBefore);

    double stopMs = 0;
    if (blockedStop) {
        stopMs = stopOursMs();
    } else {
        requestStop();
        Clock::time_point stopped = Clock::now();
        waitForChange();
        stopMs = millisecondsBetween(stopped, Clock::now());
    }
    if (!keep) return;
    samples->oursSetupMs.push_back(millisecondsBetween(start, watched));
    samples->heapPerDirectory.push_back(heap / options.directories);
    samples->residentPerDirectory.push_back(resident / options.directories);
    (blockedStop ? samples->oursStopMs : samples->oursReleaseMs).push_back(stopMs);
}

void measureSetups(const Options& options, bench::JsonObject* out) {
    Samples samples;
    // Ours is turn 0; the others are the floor on 1 thread and on each count asked for.
    std::vector<int> floorThreads = {1};
    floorThreads.insert(floorThreads.end(), options.floorThreads.begin(),
                        options.floorThreads.end());
    int turns = static_cast<int>(floorThreads.size()) + 1;
    // Round 0 only warms the page cache and the allocator.
    for (int round = 0; round <= options.rounds; ++round) {
        bool keep = round > 0;
        for (int turn = 0; turn < turns; ++turn) {
            int who = (round + turn) % turns;
            if (who == 0) {
                oursRound(options, round % 2 == 1, keep, &samples);
            } else {
                floorRound(options, floorThreads[static_cast<std::size_t>(who) - 1], keep,
                           &samples);
            }
        }
    }
    out->add("setup_floor_ms", samples.floorSetupMs);
    for (const auto& [threads, setups] : samples.floorThreadsSetupMs)
        out->add("setup_floor_" + std::to_string(threads) + "_threads_ms", setups);
    out->add("setup_ours_ms", samples.oursSetupMs);
    out->add("heap_bytes_per_directory", samples.heapPerDirectory);
    out->add("resident_bytes_per_directory", samples.residentPerDirectory);
    out->add("stop_floor_us", samples.floorStopUs);
    out->add("release_floor_ms", samples.floorReleaseMs);
    out->add("stop_ours_ms", samples.oursStopMs);
    out->add("release_ours_ms", samples.oursReleaseMs);
}

// One start with nothing before it, so that what the harness dropped from the caches is read
// back by the start itself.
bool measureOneStart(const Options& options, bench::JsonObject* out) {
    Clock::time_point start = Clock::now();
    if (options.startOnce == "ours") {
        bool watched = startWatch(options.root.c_str());
        out->add("setup_ms", std::vector<double>{millisecondsBetween(start, Clock::now())});
        if (!watched) {
            std::fprintf(stderr, "could not watch the tree\n");
            return false;
        }
        requestStop();
        waitForChange();
        return true;
    }
    bench::FloorWatcher floor;
    bool watched = floor.start(options.root, options.threads);
    out->add("setup_ms", std::vector<double>{millisecondsBetween(start, Clock::now())});
    if (!watched) std::fprintf(stderr, "floor could not watch\n");
    return watched;
}

// A stop with a single directory watched, so that releasing the watch costs next to nothing:
// from the request to the wait having returned with the watch released, for both. Also what
// our watch of a single directory holds on the heap.
void measureSmallStops(const Options& options, bench::JsonObject* out) {
    std::vector<double> floorStops;
    std::vector<double> oursStops;
    std::vector<double> oursHeap;
    for (int round = 0; round < 3 * options.rounds; ++round) {
        bench::FloorWatcher floor;
        floor.start(options.probe);
        FloorStop stop = stopFloor(&floor);
        floorStops.push_back(millisecondsBetween(stop.stopped, stop.released) * 1000);

        std::size_t heapBefore = bench::heapBytes();
        startWatch(options.probe.c_str());
        oursHeap.push_back(static_cast<double>(bench::heapBytes() - heapBefore));
        oursStops.push_back(stopOursMs() * 1000);
    }
    out->add("stop_one_directory_floor_us", floorStops);
    out->add("stop_one_directory_ours_us", oursStops);
    // What a watch holds whatever the size of its tree.
    out->add("heap_bytes_one_directory", oursHeap);
}

// Samples are taken in blocks that alternate between the floor and ours, so a change in the
// machine's load during the run falls on both alike.
void measureWakeLatency(const Options& options, bench::JsonObject* out) {
    constexpr int BLOCKS = 3;
    std::vector<double> floorWakes;
    std::vector<double> oursWakes;
    int perBlock = (options.samples + BLOCKS - 1) / BLOCKS;
    for (int block = 0; block < BLOCKS; ++block) {
        bench::FloorWatcher floor;
        floor.start(options.root);
        std::vector<double> taken = bench::measureWakes(
            options.probe, perBlock, options.gapMilliseconds, [&] { floor.waitForEvent(); });
        floor.release();
        floorWakes.insert(floorWakes.end(), taken.begin(), taken.end());

        startWatch(options.root.c_str());
        taken = bench::measureWakes(options.probe, perBlock, options.gapMilliseconds,
                                    [] { waitForChange(); });
        requestStop();
        waitForChange();
        oursWakes.insert(oursWakes.end(), taken.begin(), taken.end());
    }
    out->add("wake_floor_us", floorWakes);
    out->add("wake_ours_us", oursWakes);
}

// Calls waitForChange on a thread of its own, again and again, counting the returns, so the
// thread's CPU time is what the library spends on the events.
class CountingWaiter {
  public:
    CountingWaiter() : thread_([this] { run(); }) {}
    ~CountingWaiter() {
        stopping_.store(true);
        requestStop();
        thread_.join();
    }
    CountingWaiter(const CountingWaiter&) = delete;
    CountingWaiter& operator=(const CountingWaiter&) = delete;

    unsigned long returns() {
        std::lock_guard<std::mutex> hold(lock_);
        return returns_;
    }
    // Waits until the count passes `seen`; false after ten seconds.
    bool returnsAfter(unsigned long seen) {
        std::unique_lock<std::mutex> hold(lock_);
        return changed_.wait_for(hold, std::chrono::seconds(10), [&] { return returns_ > seen; });
    }
    double cpuMicroseconds() {
        clockid_t clock;
        timespec used{};
        if (pthread_getcpuclockid(thread_.native_handle(), &clock) != 0 ||
            clock_gettime(clock, &used) != 0) {
            return 0;
        }
        return static_cast<double>(used.tv_sec) * 1e6 + static_cast<double>(used.tv_nsec) / 1e3;
    }

  private:
    void run() {
        while (!stopping_.load()) {
            waitForChange();
            std::lock_guard<std::mutex> hold(lock_);
            ++returns_;
            changed_.notify_all();
        }
    }

    std::atomic<bool> stopping_{false};
    std::mutex lock_;
    std::condition_variable changed_;
    unsigned long returns_ = 0;
    std::thread thread_;
};

// Directories below `root` with no directory inside.
std::vector<std::filesystem::path> leafDirectories(const std::string& root) {
    std::vector<std::filesystem::path> directories;
    std::set<std::filesystem::path> parents;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
        if (!entry.is_directory() || entry.is_symlink()) continue;
        directories.push_back(entry.path());
        parents.insert(entry.path().parent_path());
    }
    std::vector<std::filesystem::path> leaves;
    for (const auto& directory : directories) {
        if (parents.count(directory) == 0) leaves.push_back(directory);
    }
    std::sort(leaves.begin(), leaves.end());
    return leaves;
}

// Leaf directories spread over the tree are moved out one by one, each once the wait has
// returned on the one before, in batches; each batch gives one sample of the waiting thread's
// CPU time per move. After each batch the directories move back, unmeasured, so the tree keeps
// its size and is left as it was found.
bool measureMoveOut(const Options& options, bench::JsonObject* out) {
    constexpr int BATCHES = 10;
    const auto settle = [] { std::this_thread::sleep_for(std::chrono::milliseconds(50)); };
    std::vector<std::filesystem::path> leaves = leafDirectories(options.root);
    std::filesystem::path away = options.root + ".moved-out";
    std::error_code failed;
    if (leaves.empty() || !std::filesystem::create_directory(away, failed)) {
        std::fprintf(stderr, "no leaf directories, or %s is in the way\n", away.c_str());
        return false;
    }
    if (!startWatch(options.root.c_str())) {
        std::fprintf(stderr, "could not watch the tree\n");
        std::filesystem::remove(away, failed);
        return false;
    }
    std::size_t perBatch = (static_cast<std::size_t>(options.moveOuts) + BATCHES - 1) / BATCHES;
    std::size_t stride = std::max<std::size_t>(1, leaves.size() / (perBatch * BATCHES));
    std::vector<double> cpuPerMove;
    bool complete = true;
    {
        CountingWaiter waiter;
        for (int batch = 0; batch < BATCHES && complete; ++batch) {
            std::vector<std::filesystem::path> moved;
            for (std::size_t i = 0; i < perBatch; ++i) {
                moved.push_back(leaves[((batch * perBatch + i) * stride) % leaves.size()]);
            }
            settle();
            double cpuBefore = waiter.cpuMicroseconds();
            for (std::size_t i = 0; i < moved.size() && complete; ++i) {
                unsigned long seen = waiter.returns();
                std::filesystem::rename(moved[i], away / std::to_string(i), failed);
                complete = !failed && waiter.returnsAfter(seen);
            }
            settle();
            cpuPerMove.push_back((waiter.cpuMicroseconds() - cpuBefore) /
                                 static_cast<double>(moved.size()));
            for (std::size_t i = 0; i < moved.size(); ++i) {
                unsigned long seen = waiter.returns();
                std::filesystem::rename(away / std::to_string(i), moved[i], failed);
                if (!failed) complete = waiter.returnsAfter(seen) && complete;
            }
        }
    }
    // The waiter's last wait consumed the stop, which released the watch.
    std::filesystem::remove(away, failed);
    if (!complete) {
        std::fprintf(stderr, "a move failed or did not wake the wait; see %s\n", away.c_str());
        return false;
    }
    out->add("move_out_cpu_us", cpuPerMove);
    out->add("moves", static_cast<double>(perBatch * BATCHES));
    return true;
}

bool parse(int argc, char** argv, Options* options) {
    for (int i = 1; i < argc; ++i) {
        std::string flag = argv[i];
        bool hasValue = i + 1 < argc;
        if (flag == "--wake-only") {
            options->wakeOnly = true;
        } else if (flag == "--root" && hasValue) {
            options->root = argv[++i];
        } else if (flag == "--probe" && hasValue) {
            options->probe = argv[++i];
        } else if (flag == "--directories" && hasValue) {
            options->directories = std::strtod(argv[++i], nullptr);
        } else if (flag == "--rounds" && hasValue) {
            options->rounds = std::atoi(argv[++i]);
        } else if (flag == "--samples" && hasValue) {
            options->samples = std::atoi(argv[++i]);
        } else if (flag == "--gap-ms" && hasValue) {
            options->gapMilliseconds = std::atoi(argv[++i]);
        } else if (flag == "--floor-threads" && hasValue) {
            for (const char* at = argv[++i]; *at != '\0';) {
                char* end = nullptr;
                options->floorThreads.push_back(static_cast<int>(std::strtol(at, &end, 10)));
                at = *end == ',' ? end + 1 : end;
                if (options->floorThreads.back() < 2) return false;
            }
        } else if (flag == "--start-once" && hasValue) {
            options->startOnce = argv[++i];
        } else if (flag == "--threads" && hasValue) {
            options->threads = std::atoi(argv[++i]);
        } else if (flag == "--move-out" && hasValue) {
            options->moveOuts = std::atoi(argv[++i]);
        } else {
            return false;
        }
    }
    if (options->moveOuts > 0) return !options->root.empty();
    if (!options->startOnce.empty()) {
        return !options->root.empty() && options->threads > 0 &&
               (options->startOnce == "ours" || options->startOnce == "floor");
    }
    return !options->root.empty() && !options->probe.empty() && options->directories > 0 &&
           options->rounds > 0 && options->samples > 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!parse(argc, argv, &options)) {
        std::fprintf(stderr,
                     "usage: %s --root DIR --probe DIR --directories N [--rounds K] "
                     "[--samples S] [--gap-ms G] [--floor-threads T1,T2...] [--wake-only]\n"
                     "       %s --root DIR --start-once ours|floor [--threads T]\n"
                     "       %s --root DIR --move-out N\n",
                     argv[0], argv[0], argv[0]);
        return 2;
    }
    bench::JsonObject out;
    if (options.moveOuts > 0 || !options.startOnce.empty()) {
        bool measured =
            options.moveOuts > 0 ? measureMoveOut(options, &out) : measureOneStart(options, &out);
        if (!measured) return 1;
        out.print();
        return 0;
    }
    if (!options.wakeOnly) {
        measureSetups(options, &out);
        measureSmallStops(options, &out);
    }
    measureWakeLatency(options, &out);
    out.print();
    return 0;
}
