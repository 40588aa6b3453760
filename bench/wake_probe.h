// Wake latency: one thread appends a byte to a file while another is blocked waiting for the
// watch, and the time from just before the write to the wait returning is one sample.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace bench {

// `waitOnce` is called on a thread of its own, again and again; each call must block until the
// watch reports something. Samples are taken `gapMilliseconds` apart so the waiter is blocked
// each time. Returns the samples in microseconds.
std::vector<double> measureWakes(const std::string& directory, int samples, int gapMilliseconds,
                                 const std::function<void()>& waitOnce);

}  // namespace bench
