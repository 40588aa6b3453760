// The ARM64 DLL's stack probe (jni/windows/stack_probe_arm64.S), run on Linux for arm64, whose
// processor runs the same instructions: nothing runs the DLL itself (see the README). The probe
// runs on a stack of the test's own, fresh pages the kernel maps in only when touched, so which
// pages are resident afterwards shows which the probe touched.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <vector>

extern "C" void stack_probe_call(std::uint64_t units, std::uint64_t* registers, void* stack);

namespace {

constexpr std::size_t PAGE = 4096;
constexpr std::size_t STACK_PAGES = 16;
// x0 to x14, x19 to x27, then x15 and sp: what stack_probe_call writes.
constexpr std::size_t KEPT = 24;
constexpr std::size_t WRITTEN = KEPT + 2;

class StackProbeTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(sysconf(_SC_PAGESIZE), static_cast<long>(PAGE));
        stack_ = mmap(nullptr, STACK_PAGES * PAGE, PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        ASSERT_NE(stack_, MAP_FAILED);
        ASSERT_EQ(touchedPages(), std::vector<bool>(STACK_PAGES, false));
    }

    void TearDown() override {
        if (stack_ != MAP_FAILED) munmap(stack_, STACK_PAGES * PAGE);
    }

    // Probes `bytes` below the top of the test's stack, which stays at least a page clear of
    // what may be touched, and returns what the registers held after.
    std::vector<std::uint64_t> probe(std::size_t bytes) {
        std::vector<std::uint64_t> registers(WRITTEN, 0);
        stack_probe_call(bytes / 16, registers.data(), top());
        return registers;
    }

    void* top() const { return static_cast<char*>(stack_) + (STACK_PAGES - 1) * PAGE; }

    // For each page of the stack, lowest first: whether the kernel has it mapped in.
    std::vector<bool> touchedPages() const {
        std::vector<unsigned char> resident(STACK_PAGES);
        EXPECT_EQ(mincore(stack_, STACK_PAGES * PAGE, resident.data()), 0);
        std::vector<bool> touched(STACK_PAGES, false);
        for (std::size_t page = 0; page < STACK_PAGES; ++page)
            touched[page] = (resident[page] & 1) != 0;
        return touched;
    }

    // The pages `count` below the top touched, and no other.
    static std::vector<bool> pagesBelowTheTop(std::size_t count) {
        std::vector<bool> touched(STACK_PAGES, false);
        for (std::size_t page = STACK_PAGES - 1 - count; page < STACK_PAGES - 1; ++page)
            touched[page] = true;
        return touched;
    }

    void* stack_ = MAP_FAILED;
};

TEST_F(StackProbeTest, KeepsEveryRegisterButItsScratchOnesAndTheStackPointer) {
    std::vector<std::uint64_t> registers = probe(5 * PAGE);
    for (std::size_t at = 0; at < KEPT; ++at) {
        std::uint64_t number = at < 15 ? at : at + 4;
        EXPECT_EQ(registers[at], 0x100 + number) << "x" << number;
    }
    EXPECT_EQ(registers[KEPT], 5 * PAGE / 16) << "x15";
    EXPECT_EQ(registers[KEPT + 1], reinterpret_cast<std::uintptr_t>(top())) << "sp";
}

TEST_F(StackProbeTest, TouchesEachPageOfTheAllocationAndNoneBelowIt) {
    probe(5 * PAGE);
    EXPECT_EQ(touchedPages(), pagesBelowTheTop(5));
}

TEST_F(StackProbeTest, TouchesThePageThatAPartOfAPageReaches) {
    probe(2 * PAGE + 16);
    EXPECT_EQ(touchedPages(), pagesBelowTheTop(3));
}

TEST_F(StackProbeTest, TouchesTheFirstPageForTheLeastAllocation) {
    probe(16);
    EXPECT_EQ(touchedPages(), pagesBelowTheTop(1));
}

}  // namespace
