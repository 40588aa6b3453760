// The descriptor index against a reference map, through long runs of inserts and erases with
// descriptors that climb the way the kernel hands them out.
#include "platform/linux/watch_index.h"

#include <gtest/gtest.h>

#include <random>
#include <unordered_map>
#include <vector>

namespace {

TEST(WatchIndexTest, AgreesWithAReferenceMapThroughChurn) {
    std::vector<int> descriptorOfEntry;
    std::vector<std::uint32_t> freeEntries;
    std::unordered_map<int, std::uint32_t> reference;
    kernel_stand_in::WatchIndex index;
    auto descriptorOf = [&](std::uint32_t entry) { return descriptorOfEntry[entry]; };

    std::mt19937 random(7);
    int nextDescriptor = 1;
    for (int step = 0; step < 200000; ++step) {
        bool grow = reference.size() < 50 || random() % 100 < 55;
        if (grow) {
            std::uint32_t entry;
            if (freeEntries.empty()) {
                entry = static_cast<std::uint32_t>(descriptorOfEntry.size());
                descriptorOfEntry.push_back(0);
            } else {
                entry = freeEntries.back();
                freeEntries.pop_back();
            }
            descriptorOfEntry[entry] = nextDescriptor;
            ASSERT_TRUE(index.insert(nextDescriptor, entry, descriptorOf));
            reference[nextDescriptor++] = entry;
        } else {
            auto victim = reference.begin();
            std::advance(victim, random() % reference.size());
            index.erase(victim->first, descriptorOf);
            freeEntries.push_back(victim->second);
            reference.erase(victim);
        }
        if (step % 997 == 0) {
            for (const auto& [descriptor, entry] : reference) {
                ASSERT_EQ(index.find(descriptor, descriptorOf), entry) << "step " << step;
            }
            for (int gone = nextDescriptor - 1; gone > 0 && gone > nextDescriptor - 300; --gone) {
                if (reference.count(gone) == 0) {
                    ASSERT_EQ(index.find(gone, descriptorOf),
                              kernel_stand_in::WatchIndex::NOT_FOUND);
                }
            }
        }
    }
}

}  // namespace
