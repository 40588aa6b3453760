// native_watch [DIR]: watches DIR (default: the current directory) through the monitor and
// prints a line each time the wait returns on a change. Ctrl-C stops the watch and exits 0.
#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <thread>

#include "monitor/monitor.h"

namespace {

void printChange(unsigned long count) {
    auto now = std::chrono::system_clock::now();
    std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    auto millis =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
        1000;
    std::tm local{};
    localtime_r(&seconds, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%H:%M:%S", &local);
    std::printf("%s.%03lld change #%lu\n", stamp, static_cast<long long>(millis), count);
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    const char* directory = argc > 1 ? argv[1] : ".";

    // Signals go to a thread of their own, which may call the stop; a signal handler may not.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    if (!startWatch(directory)) {
        std::fprintf(stderr, "native_watch: cannot watch %s\n", directory);
        return 1;
    }
    std::printf("watching %s (Ctrl-C to stop)\n", directory);
    std::fflush(stdout);

    std::atomic<bool> stopping{false};
    std::thread stopper([&] {
        int received = 0;
        sigwait(&stopSignals, &received);
        stopping.store(true);
        requestStop();
    });

    for (unsigned long changes = 1;; ++changes) {
        waitForChange();
        if (stopping.load()) break;
        printChange(changes);
    }
    // The stop may have landed after the last wait returned on a change; this wait consumes it.
    waitForChange();
    stopper.join();
    return 0;
}
