#include "bench/awake_cpus.h"

#include <pthread.h>
#include <sched.h>

namespace bench {

AwakeCpus::AwakeCpus() {
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    sched_getaffinity(0, sizeof allowed, &allowed);
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
        if (!CPU_ISSET(cpu, &allowed)) continue;
        spinners_.emplace_back([this, cpu] {
            cpu_set_t one;
            CPU_ZERO(&one);
            CPU_SET(cpu, &one);
            pthread_setaffinity_np(pthread_self(), sizeof one, &one);
            sched_param lowest{};
            pthread_setschedparam(pthread_self(), SCHED_IDLE, &lowest);
            while (!stop_.load(std::memory_order_relaxed)) {
            }
        });
    }
}

AwakeCpus::~AwakeCpus() {
    stop_.store(true);
    for (std::thread& spinner : spinners_)
        spinner.join();
}

}  // namespace bench
