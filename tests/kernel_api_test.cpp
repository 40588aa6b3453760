// Our stand-in for the Windows kernel services, called as the monitor calls them: what it does
// not provide is refused, events stay set once set, closed or unknown handles are rejected and
// counted, any handle closes with CloseHandle, and a full handle table refuses new objects
// holding nothing.
#include <vector>

#include "platform/linux/handle_table.h"
#include "platform/linux/kernel.h"
#include "tests/test_support.h"

namespace {

using namespace test_support;

constexpr DWORD FILTER =
    FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_DIR_NAME | FILE_NOTIFY_CHANGE_LAST_WRITE;

HANDLE newEvent() {
    return CreateEventA(nullptr, TRUE, FALSE, nullptr);
}

class KernelApiTest : public ::testing::Test {
  protected:
    void SetUp() override { descriptorsBefore_ = openDescriptorCount(); }
    void TearDown() override {
        EXPECT_EQ(openDescriptorCount(), descriptorsBefore_);
        EXPECT_EQ(inotifyWatchCount(), 0);
    }

    TemporaryDirectory tree;

  private:
    int descriptorsBefore_ = 0;
};

TEST_F(KernelApiTest, WhatIsNotProvidedIsRefused) {
    int securityAttributes = 0;
    EXPECT_EQ(CreateEventA(reinterpret_cast<LPSECURITY_ATTRIBUTES>(&securityAttributes), TRUE,
                           FALSE, nullptr),
              nullptr);
    EXPECT_EQ(CreateEventA(nullptr, FALSE, FALSE, nullptr), nullptr);
    EXPECT_EQ(CreateEventA(nullptr, TRUE, FALSE, "named"), nullptr);

    const char* root = tree.path().c_str();
    writeFile(tree / "file");
    EXPECT_EQ(FindFirstChangeNotificationA(nullptr, TRUE, FILTER), INVALID_HANDLE_VALUE);
    EXPECT_EQ(FindFirstChangeNotificationA(root, FALSE, FILTER), INVALID_HANDLE_VALUE);
    EXPECT_EQ(FindFirstChangeNotificationA(root, TRUE, FILE_NOTIFY_CHANGE_FILE_NAME),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(FindFirstChangeNotificationA((tree / "file").c_str(), TRUE, FILTER),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(FindFirstChangeNotificationA((tree / "missing").c_str(), TRUE, FILTER),
              INVALID_HANDLE_VALUE);

    HANDLE event = newEvent();
    ASSERT_NE(event, nullptr);
    ASSERT_EQ(SetEvent(event), TRUE);
    HANDLE handles[MAXIMUM_WAIT_OBJECTS + 1] = {event};
    EXPECT_EQ(WaitForMultipleObjects(0, handles, FALSE, INFINITE), WAIT_FAILED);
    EXPECT_EQ(WaitForMultipleObjects(1, nullptr, FALSE, INFINITE), WAIT_FAILED);
    EXPECT_EQ(WaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS + 1, handles, FALSE, INFINITE),
              WAIT_FAILED);
    EXPECT_EQ(WaitForMultipleObjects(1, handles, TRUE, INFINITE), WAIT_FAILED);
    EXPECT_EQ(WaitForMultipleObjects(1, handles, FALSE, 0), WAIT_FAILED);
    EXPECT_EQ(WaitForMultipleObjects(1, handles, FALSE, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(CloseHandle(event), TRUE);
}

TEST_F(KernelApiTest, AnEventStaysSetAndTheLowestSignalledHandleWins) {
    HANDLE events[3] = {newEvent(), newEvent(), newEvent()};
    for (HANDLE event : events)
        ASSERT_NE(event, nullptr);
    ASSERT_EQ(SetEvent(events[2]), TRUE);
    EXPECT_EQ(WaitForMultipleObjects(3, events, FALSE, INFINITE), WAIT_OBJECT_0 + 2);
    EXPECT_EQ(WaitForMultipleObjects(3, events, FALSE, INFINITE), WAIT_OBJECT_0 + 2);
    ASSERT_EQ(SetEvent(events[1]), TRUE);
    EXPECT_EQ(WaitForMultipleObjects(3, events, FALSE, INFINITE), WAIT_OBJECT_0 + 1);
    for (HANDLE event : events)
        EXPECT_EQ(CloseHandle(event), TRUE);
}

TEST_F(KernelApiTest, ClosedAndUnknownHandlesAreRejectedAndCounted) {
    HANDLE event = newEvent();
    ASSERT_NE(event, nullptr);
    HANDLE notification = FindFirstChangeNotificationA(tree.path().c_str(), TRUE, FILTER);
    ASSERT_NE(notification, INVALID_HANDLE_VALUE);

    // Each kind is closed by its own call; the other kind's is refused.
    EXPECT_EQ(FindCloseChangeNotification(event), FALSE);
    EXPECT_EQ(FindNextChangeNotification(event), FALSE);
    EXPECT_EQ(SetEvent(notification), FALSE);

    unsigned closedUsesBefore = kernel_stand_in::closedHandleUses();
    ASSERT_EQ(CloseHandle(event), TRUE);
    EXPECT_EQ(CloseHandle(event), FALSE);
    EXPECT_EQ(SetEvent(event), FALSE);
    HANDLE both[2] = {notification, event};
    EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, INFINITE), WAIT_FAILED);
    EXPECT_EQ(kernel_stand_in::closedHandleUses(), closedUsesBefore + 3);

    // A new object in the same slot gets a new handle: the old one still names nothing.
    HANDLE next = newEvent();
    ASSERT_NE(next, nullptr);
    EXPECT_NE(next, event);
    EXPECT_EQ(SetEvent(event), FALSE);
    EXPECT_EQ(CloseHandle(next), TRUE);

    // Values no call ever returned.
    EXPECT_EQ(CloseHandle(nullptr), FALSE);
    EXPECT_EQ(CloseHandle(INVALID_HANDLE_VALUE), FALSE);
    EXPECT_EQ(FindNextChangeNotification(reinterpret_cast<HANDLE>(0x12345)), FALSE);

    // CloseHandle takes a change notification too, as on Windows, and releases all it holds.
    EXPECT_EQ(CloseHandle(notification), TRUE);
    EXPECT_EQ(FindCloseChangeNotification(notification), FALSE);
}

TEST_F(KernelApiTest, AFullHandleTableRefusesNewObjectsHoldingNothing) {
    std::vector<HANDLE> held;
    for (HANDLE event = newEvent(); event != nullptr; event = newEvent()) {
        held.push_back(event);
        ASSERT_LT(held.size(), 1000u) << "the table never filled";
    }
    int descriptors = openDescriptorCount();
    EXPECT_EQ(newEvent(), nullptr);
    EXPECT_EQ(FindFirstChangeNotificationA(tree.path().c_str(), TRUE, FILTER),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(openDescriptorCount(), descriptors);
    EXPECT_EQ(inotifyWatchCount(), 0);

    ASSERT_EQ(CloseHandle(held.back()), TRUE);
    held.pop_back();
    HANDLE notification = FindFirstChangeNotificationA(tree.path().c_str(), TRUE, FILTER);
    EXPECT_NE(notification, INVALID_HANDLE_VALUE);
    EXPECT_EQ(FindCloseChangeNotification(notification), TRUE);
    for (HANDLE event : held)
        EXPECT_EQ(CloseHandle(event), TRUE);
}

}  // namespace
