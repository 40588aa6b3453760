// What the process holds: bytes handed out by malloc, and resident pages.
#pragma once

#include <cstddef>

namespace bench {

std::size_t heapBytes();
std::size_t residentBytes();

}  // namespace bench
