#include "bench/tree_fixture.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace bench {
namespace fs = std::filesystem;

namespace {

constexpr int FANOUT = 10;
constexpr int FILES_PER_DIRECTORY = 3;

void makeFiles(const fs::path& directory) {
    for (int i = 0; i < FILES_PER_DIRECTORY; ++i) {
        std::ofstream(directory / ("file" + std::to_string(i))) << "bench\n";
    }
}

}  // namespace

BenchTree ensureTree(std::size_t directories) {
    const char* temporary = std::getenv("TMPDIR");
    fs::path base = fs::path(temporary != nullptr ? temporary : "/tmp") / "windowsfscm-bench";
    fs::path root = base / ("tree-" + std::to_string(directories));
    fs::path complete = base / ("tree-" + std::to_string(directories) + ".complete");

    BenchTree tree{root.string(), root.string(), directories};
    // Breadth first: the last directory made is one of the deepest.
    std::deque<fs::path> toFill{root};
    bool reuse = fs::exists(complete);
    if (!reuse) {
        fs::remove_all(root);
        fs::create_directories(root);
        makeFiles(root);
    }
    std::size_t made = 1;
    while (made < directories) {
        fs::path parent = toFill.front();
        toFill.pop_front();
        for (int i = 0; i < FANOUT && made < directories; ++i, ++made) {
            fs::path child = parent / ("d" + std::to_string(i));
            if (!reuse) {
                fs::create_directory(child);
                makeFiles(child);
            }
            toFill.push_back(child);
            tree.deepestDirectory = child.string();
        }
    }
    if (!reuse) std::ofstream(complete) << directories << "\n";
    if (!fs::is_directory(tree.deepestDirectory)) {
        throw std::runtime_error("benchmark tree is damaged: " + root.string());
    }
    return tree;
}

}  // namespace bench
