// keep_cpus_awake: keeps every CPU out of idle, with a lowest-priority spinning thread on each,
// until its standard input ends. The harness runs a latency measurement beside it to tell how
// much of a wake-up is the CPU leaving its idle state.
#include <unistd.h>

#include "bench/awake_cpus.h"

int main() {
    bench::AwakeCpus awake;
    char ignored[256];
    while (read(STDIN_FILENO, ignored, sizeof ignored) > 0) {
    }
    return 0;
}
