// Keeps every CPU from going idle with a lowest-priority (SCHED_IDLE) spinning thread pinned to
// each. Any runnable thread, of this process or another, preempts them at once, so a woken
// thread starts without the CPU first leaving its idle state: on a virtual machine that exit is
// paid on every cross-CPU wake, and this tells how much of a latency it is.
#pragma once

#include <atomic>
#include <thread>
#include <vector>

namespace bench {

class AwakeCpus {
  public:
    AwakeCpus();
    ~AwakeCpus();
    AwakeCpus(const AwakeCpus&) = delete;
    AwakeCpus& operator=(const AwakeCpus&) = delete;

  private:
    std::atomic<bool> stop_{false};
    std::vector<std::thread> spinners_;
};

}  // namespace bench
