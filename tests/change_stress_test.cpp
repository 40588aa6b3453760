// A seeded random stress with an oracle. The test thread makes random changes (files created,
// written, truncated, touched, renamed, deleted, moved in and out; directories made in bursts,
// renamed, deleted; subtrees moved in and out; permissions, owners, extended attributes, reads;
// changes outside the tree) while the waiter thread loops on the wait. Because it can tell when
// the wait sleeps with nothing left to read, each check is exact: a change in the filter made
// while the wait sleeps, or after it returned, must be followed by a wake; changes outside the
// filter or outside the tree alone must leave it asleep; every directory of the tree, and no
// other, must be watched. The faulty variant also makes the kernel calls fail now and then.
//
// WINDOWSFSCM_STRESS_SECONDS sets how long each variant runs (3 s by default);
// WINDOWSFSCM_STRESS_SEED replays a run: a seed always makes the same changes in the same order.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <random>

#include "platform/linux/system_calls.h"
#include "tests/random_changes.h"
#include "tests/test_support.h"

namespace {

using namespace test_support;
using kernel_stand_in::sys::Call;
using Clock = std::chrono::steady_clock;

unsigned long long fromEnvironment(const char* name, unsigned long long fallback) {
    const char* value = std::getenv(name);
    return value == nullptr ? fallback : std::stoull(value);
}

struct Fault {
    Call call;
    int error;
};

const Fault FAULTS[] = {
    {Call::AddWatch, ENOSPC},     {Call::AddWatch, ENOMEM},      {Call::OpenDirectory, EMFILE},
    {Call::OpenDirectory, EINTR}, {Call::ReadDirectory, ENOMEM}, {Call::ReadDirectory, EINTR},
    {Call::Read, EINTR},          {Call::Read, ENOMEM},          {Call::Poll, EINTR},
    {Call::Poll, ENOMEM},
};

struct Figures {
    unsigned long cycles = 0;
    unsigned long inFilter = 0;
    unsigned long quiet = 0;
    unsigned long wakes = 0;
    unsigned long missed = 0;
    unsigned long faults = 0;
};

class Stress {
  public:
    Stress(RandomChanges& changes, Waiter& waiter, bool faulty)
        : changes_(changes), waiter_(waiter), faulty_(faulty) {}

    // Runs cycles until `deadline`; false at the first fault found.
    bool run(Clock::time_point deadline);
    const Figures& figures() const { return figures_; }

  private:
    bool cycle();
    bool changeWhileAsleep();
    bool changeBetweenWaits();
    bool quietChangesWhileAsleep();
    bool everyDirectoryWatched();
    bool asleep();
    void injectFault();
    Effect make(std::optional<Effect> effect);
    bool missed(const std::string& what);

    RandomChanges& changes_;
    Waiter& waiter_;
    bool faulty_;
    Figures figures_;
};

bool Stress::run(Clock::time_point deadline) {
    std::uint64_t faultsBefore = kernel_stand_in::sys::injectedFailureCount();
    bool clean = asleep();
    while (clean && Clock::now() < deadline) {
        clean = cycle();
        ++figures_.cycles;
    }
    kernel_stand_in::sys::clearInjectedFailures();
    figures_.faults = kernel_stand_in::sys::injectedFailureCount() - faultsBefore;
    return clean && everyDirectoryWatched();
}

bool Stress::cycle() {
    if (faulty_ && changes_.chance(40)) injectFault();
    if (!changeWhileAsleep()) return false;
    if (changes_.chance(50) && !changeBetweenWaits()) return false;
    if (changes_.chance(30)) {
        // Faults wake the wait on purpose; quiet changes are judged without them.
        kernel_stand_in::sys::clearInjectedFailures();
        if (!asleep() || !quietChangesWhileAsleep()) return false;
    }
    return figures_.cycles % 25 != 24 || everyDirectoryWatched();
}

bool Stress::changeWhileAsleep() {
    if (!asleep()) return false;
    make(Effect::Wakes);
    // Changes that follow at once land while the waiter wakes, re-arms or sits between waits.
    bool wakeOwed = false;
    for (std::size_t more = changes_.pick(3); more > 0; --more) {
        bool returned = waiter_.idle();
        if (make(std::nullopt) == Effect::Wakes && returned) wakeOwed = true;
    }
    if (!waiter_.returns()) return missed("a change made while the wait slept");
    ++figures_.wakes;
    if (!wakeOwed) return true;
    waiter_.beginWait();
    if (!waiter_.returns()) return missed("a change made after the wait returned");
    ++figures_.wakes;
    return true;
}

bool Stress::changeBetweenWaits() {
    // Events of the last changes may still be queued; each such wait returns on them.
    for (int drained = 0; inotifyQueuedBytes() > 0; ++drained) {
        waiter_.beginWait();
        // Asleep: they were no changes, and this cycle has no wait to begin after a change.
        if (waiter_.blocksWithNothingPending()) return true;
        if (drained == 1000) {
            ADD_FAILURE() << "the wait keeps returning on old events";
            return false;
        }
    }
    make(Effect::Wakes);
    waiter_.beginWait();
    if (!waiter_.returns()) return missed("a change made between waits");
    ++figures_.wakes;
    return true;
}

bool Stress::quietChangesWhileAsleep() {
    for (std::size_t count = 1 + changes_.pick(4); count > 0; --count)
        make(Effect::Quiet);
    if (waiter_.blocksWithNothingPending()) return true;
    ADD_FAILURE() << "the wait returned with no change in the filter; last changes:"
                  << changes_.recent();
    return false;
}

bool Stress::everyDirectoryWatched() {
    kernel_stand_in::sys::clearInjectedFailures();
    if (!asleep()) return false;
    int directories = changes_.directoriesInTree();
    // The test's own record first: the count below means nothing if it is wrong.
    EXPECT_EQ(countDirectories(changes_.tree()), directories);
    EXPECT_EQ(inotifyWatchCount(), directories);
    return inotifyWatchCount() == directories;
}

bool Stress::asleep() {
    // Retries of failed calls, and events left by earlier changes, end a few waits first.
    for (int attempt = 0; attempt < 1000; ++attempt) {
        if (waiter_.idle()) waiter_.beginWait();
        if (waiter_.blocksWithNothingPending()) return true;
    }
    ADD_FAILURE() << "the wait keeps returning with nothing changing; last changes:"
                  << changes_.recent();
    return false;
}

void Stress::injectFault() {
    const Fault& fault = FAULTS[changes_.pick(std::size(FAULTS))];
    auto nth = static_cast<unsigned>(1 + changes_.pick(3));
    auto count = static_cast<unsigned>(1 + changes_.pick(3));
    kernel_stand_in::sys::failCalls(fault.call, nth, count, fault.error);
}

Effect Stress::make(std::optional<Effect> effect) {
    Effect made = changes_.make(effect);
    (made == Effect::Wakes ? figures_.inFilter : figures_.quiet) += 1;
    return made;
}

bool Stress::missed(const std::string& what) {
    ++figures_.missed;
    ADD_FAILURE() << "no wake after " << what << "; last changes:" << changes_.recent();
    return false;
}

struct Variant {
    const char* name;
    bool faulty;
};

void PrintTo(const Variant& variant, std::ostream* out) {
    *out << variant.name;
}

class ChangeStressTest : public WatchTest, public ::testing::WithParamInterface<Variant> {};

TEST_P(ChangeStressTest, EveryChangeInTheFilterWakesAndNothingElseDoes) {
    std::uint64_t seed = fromEnvironment("WINDOWSFSCM_STRESS_SEED", std::random_device()());
    auto seconds = std::chrono::seconds(fromEnvironment("WINDOWSFSCM_STRESS_SECONDS", 3));
    SCOPED_TRACE("replay with WINDOWSFSCM_STRESS_SEED=" + std::to_string(seed));

    RandomChanges changes(tree.path(), outside.path(), seed);
    Stress stress(changes, waiter, GetParam().faulty);
    startOn(tree.path());
    EXPECT_TRUE(stress.run(Clock::now() + seconds));

    const Figures& figures = stress.figures();
    std::printf(
        "[ stress   ] %s: seed %llu, %lu cycles, %lu changes in the filter and %lu outside it, "
        "%lu wakes, %lu missed, %lu faults injected\n",
        GetParam().name, static_cast<unsigned long long>(seed), figures.cycles, figures.inFilter,
        figures.quiet, figures.wakes, figures.missed, figures.faults);
}

INSTANTIATE_TEST_SUITE_P(Variants, ChangeStressTest,
                         ::testing::Values(Variant{"Plain", false}, Variant{"Faulty", true}),
                         [](const auto& test) { return std::string(test.param.name); });

}  // namespace
