#include "tests/windows/report.h"

#include <cstdio>

namespace {

int passedCount;
int failedCount;

}  // namespace

void expect(bool passed, const char* what) {
    ++(passed ? passedCount : failedCount);
    std::printf("%s - %s\n", passed ? "ok" : "FAIL", what);
    std::fflush(stdout);
}

void note(const char* what) {
    std::printf("info - %s\n", what);
    std::fflush(stdout);
}

int summarize() {
    std::printf("%d passed, %d failed\n", passedCount, failedCount);
    std::fflush(stdout);
    return failedCount == 0 ? 0 : 1;
}
