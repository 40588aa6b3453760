// Benchmark trees: N directories with fanout 10, three small files in each, made once under the
// temporary folder and reused by later runs.
#pragma once

#include <cstddef>
#include <string>

namespace bench {

struct BenchTree {
    std::string root;
    std::string deepestDirectory;
    std::size_t directories = 0;
};

BenchTree ensureTree(std::size_t directories);

}  // namespace bench
