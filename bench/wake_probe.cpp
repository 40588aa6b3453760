#include "bench/wake_probe.h"

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>

namespace bench {

std::vector<double> measureWakes(const std::string& directory, int samples, int gapMilliseconds,
                                 const std::function<void()>& waitOnce) {
    using Clock = std::chrono::steady_clock;
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
            // Stamped before taking the lock, so the hand-back to the writer is not counted.
            Clock::time_point now = Clock::now();
            std::lock_guard<std::mutex> hold(lock);
            returnedAt = now;
            ++returned;
            woken.notify_all();
            if (done) return;
        }
    });
    std::vector<double> latencies;
    // The first write only settles the waiter after the file's creation; it is not a sample.
    for (int i = 0; i <= samples; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(gapMilliseconds));
        std::unique_lock<std::mutex> hold(lock);
        int before = returned;
        done = i == samples;
        hold.unlock();
        Clock::time_point writtenAt = Clock::now();
        if (write(fd, "x", 1) != 1) std::perror("write");
        hold.lock();
        woken.wait(hold, [&] { return returned > before; });
        if (i > 0) {
            latencies.push_back(
                std::chrono::duration<double, std::micro>(returnedAt - writtenAt).count());
        }
    }
    waiter.join();
    close(fd);
    unlink(file.c_str());
    return latencies;
}

}  // namespace bench
