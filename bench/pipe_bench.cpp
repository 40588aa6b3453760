// pipe_bench: setup time and wake latency of a watcher that runs as a command and reports
// through a pipe, as `inotifywait -m` does. Setup runs from just before the command is started
// to its "Watches established." line on standard error; a wake runs from just before a byte is
// appended to a file in the probe directory to the first output that follows. The pipe and the
// second process cost something of their own, so the harness runs the floor through this same
// program to tell that part apart. With --cold, one start is timed with no warm-up round before
// it and no wakes after it, for the harness to run right after it has dropped the page cache.
// Prints the raw samples as JSON.
//
//   pipe_bench --probe DIR [--rounds K] [--samples S] [--gap-ms G] [--cold] -- COMMAND [ARG...]
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "bench/json_output.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int NO_ANSWER_MS = 5000;
const std::string READY_LINE = "Watches established.";

struct Options {
    std::string probe;
    int rounds = 5;
    int samples = 300;
    int gapMilliseconds = 3;
    bool cold = false;
    std::vector<char*> command;
};

struct Child {
    pid_t pid = -1;
    int output = -1;
    int errors = -1;
};

bool spawn(const Options& options, Child* child) {
    int output[2];
    int errors[2];
    if (pipe2(output, O_CLOEXEC) != 0) return false;
    if (pipe2(errors, O_CLOEXEC) != 0) return false;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, errors[1], STDERR_FILENO);
    int failed = posix_spawnp(&child->pid, options.command[0], &actions, nullptr,
                              options.command.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(output[1]);
    close(errors[1]);
    child->output = output[0];
    child->errors = errors[0];
    return failed == 0;
}

void end(Child* child) {
    if (child->pid > 0) {
        kill(child->pid, SIGTERM);
        waitpid(child->pid, nullptr, 0);
    }
    close(child->output);
    close(child->errors);
}

// Reads standard error until the ready line; false if the command ends first.
bool awaitReady(const Child& child) {
    std::string seen;
    char buffer[4096];
    for (;;) {
        ssize_t got = read(child.errors, buffer, sizeof buffer);
        if (got <= 0) {
            std::fprintf(stderr, "pipe_bench: no ready line; the command said: %s\n", seen.c_str());
            return false;
        }
        seen.append(buffer, static_cast<std::size_t>(got));
        if (seen.find(READY_LINE) != std::string::npos) return true;
    }
}

// Takes in whatever the command printed so far without blocking.
void drain(int fd) {
    char buffer[4096];
    pollfd ready{fd, POLLIN, 0};
    while (poll(&ready, 1, 0) > 0 && (ready.revents & POLLIN) != 0) {
        if (read(fd, buffer, sizeof buffer) <= 0) return;
    }
}

void measureWakes(const Options& options, const Child& child, std::vector<double>* wakes,
                  int* unanswered) {
    std::string file = options.probe + "/latency-probe";
    int probe = open(file.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    char buffer[4096];
    for (int i = 0; i <= options.samples; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(options.gapMilliseconds));
        drain(child.output);
        Clock::time_point writtenAt = Clock::now();
        if (write(probe, "x", 1) != 1) std::perror("write");
        pollfd ready{child.output, POLLIN, 0};
        if (poll(&ready, 1, NO_ANSWER_MS) <= 0) {
            ++*unanswered;
            continue;
        }
        Clock::time_point answeredAt = Clock::now();
        if (read(child.output, buffer, sizeof buffer) <= 0) break;
        // The first write follows the probe file's creation; it only settles the watcher.
        if (i > 0) {
            wakes->push_back(
                std::chrono::duration<double, std::micro>(answeredAt - writtenAt).count());
        }
    }
    close(probe);
    unlink(file.c_str());
}

bool parse(int argc, char** argv, Options* options) {
    int i = 1;
    for (; i < argc; ++i) {
        std::string flag = argv[i];
        if (flag == "--") break;
        if (flag == "--cold") {
            options->cold = true;
            options->rounds = 1;
            continue;
        }
        if (i + 1 >= argc) return false;
        if (flag == "--probe") {
            options->probe = argv[++i];
        } else if (flag == "--rounds") {
            options->rounds = std::atoi(argv[++i]);
        } else if (flag == "--samples") {
            options->samples = std::atoi(argv[++i]);
        } else if (flag == "--gap-ms") {
            options->gapMilliseconds = std::atoi(argv[++i]);
        } else {
            return false;
        }
    }
    for (++i; i < argc; ++i)
        options->command.push_back(argv[i]);
    options->command.push_back(nullptr);
    return !options->probe.empty() && options->command.size() > 1 && options->rounds > 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!parse(argc, argv, &options)) {
        std::fprintf(stderr,
                     "usage: %s --probe DIR [--rounds K] [--samples S] [--gap-ms G] [--cold] -- "
                     "COMMAND [ARG...]\n",
                     argv[0]);
        return 2;
    }
    std::vector<double> setups;
    std::vector<double> wakes;
    int unanswered = 0;
    // Round 0 only warms the caches, unless they were dropped on purpose; the last round also
    // measures the wakes.
    for (int round = options.cold ? 1 : 0; round <= options.rounds; ++round) {
        Child child;
        Clock::time_point start = Clock::now();
        bool ready = spawn(options, &child) && awaitReady(child);
        Clock::time_point watched = Clock::now();
        if (ready && round > 0) {
            setups.push_back(std::chrono::duration<double, std::milli>(watched - start).count());
        }
        if (ready && round == options.rounds && !options.cold) {
            measureWakes(options, child, &wakes, &unanswered);
        }
        end(&child);
        if (!ready) return 1;
    }
    bench::JsonObject out;
    out.add("setup_ms", setups);
    out.add("wake_us", wakes);
    out.add("unanswered", unanswered);
    out.print();
    return 0;
}
