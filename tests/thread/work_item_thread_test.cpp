#include "thread/work_item_thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <stdexcept>
#include <vector>

namespace talvane {
namespace {

// Records the ids of the items it ran; items can block until released or throw.
class RecordingThread final : public CWorkItemThreadEx {
public:
    struct Item : IWorkItem {
        Item(int idIn, std::atomic<int>* deletedIn, bool throwsIn = false)
            : id(idIn), deleted(deletedIn), throws(throwsIn) {}
        ~Item() override { deleted->fetch_add(1); }
        int id;
        std::atomic<int>* deleted;
        bool throws;
    };

    ~RecordingThread() override { StopThread(); }

    void ProcessItem(IWorkItem* raw) override {
        auto* item = static_cast<Item*>(raw);
        started.Set();
        if (item->id == kBlocker) release.Wait(platform::kInfinite);
        {
            std::lock_guard<std::mutex> lock(mutex);
            ran.push_back(item->id);
        }
        processed.Set();
        if (item->throws) throw std::runtime_error("item failed");
    }

    std::vector<int> Ran() {
        std::lock_guard<std::mutex> lock(mutex);
        return ran;
    }

    bool WaitForRan(size_t n) {
        for (int i = 0; i < 500; ++i) {
            if (Ran().size() >= n) return true;
            processed.Wait(10);
        }
        return false;
    }

    static constexpr int kBlocker = -1;
    platform::Event started{false};
    platform::Event processed{false};
    platform::Event release{true};
    std::mutex mutex;
    std::vector<int> ran;
};

TEST(WorkItemThreadTest, RunsItemsInPostingOrderWithoutLimit) {
    std::atomic<int> deleted{0};
    RecordingThread t;
    ASSERT_TRUE(t.StartThread("worker"));
    EXPECT_EQ(t.Name(), "worker");
    for (int i = 0; i < 10; ++i) EXPECT_TRUE(t.PostItem(new RecordingThread::Item(i, &deleted), 0));
    ASSERT_TRUE(t.WaitForRan(10));
    EXPECT_EQ(t.Ran(), (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
    t.StopThread();
    EXPECT_EQ(deleted.load(), 10);
    EXPECT_EQ(t.ExitCode(), 123);
}

TEST(WorkItemThreadTest, PendingLimitOneKeepsOnlyTheNewestWaitingItem) {
    std::atomic<int> deleted{0};
    RecordingThread t;
    ASSERT_TRUE(t.StartThread("worker"));
    ASSERT_TRUE(t.PostItem(new RecordingThread::Item(RecordingThread::kBlocker, &deleted), 1));
    ASSERT_TRUE(t.started.Wait(5000));  // the blocker is running, the queue is empty
    EXPECT_TRUE(t.PostItem(new RecordingThread::Item(1, &deleted), 1));
    EXPECT_TRUE(t.PostItem(new RecordingThread::Item(2, &deleted), 1));
    EXPECT_TRUE(t.PostItem(new RecordingThread::Item(3, &deleted), 1));
    EXPECT_EQ(t.PendingCount(), 1u);
    EXPECT_EQ(deleted.load(), 2);  // items 1 and 2 dropped unprocessed
    t.release.Set();
    ASSERT_TRUE(t.WaitForRan(2));
    EXPECT_EQ(t.Ran(), (std::vector<int>{RecordingThread::kBlocker, 3}));
    t.StopThread();
    EXPECT_EQ(deleted.load(), 4);
}

TEST(WorkItemThreadTest, RefusesAndDeletesItemsBeforeStartAndAfterStop) {
    std::atomic<int> deleted{0};
    RecordingThread t;
    EXPECT_FALSE(t.PostItem(new RecordingThread::Item(1, &deleted), 0));
    EXPECT_EQ(deleted.load(), 1);
    ASSERT_TRUE(t.StartThread("worker"));
    EXPECT_FALSE(t.StartThread("again"));  // a thread already runs
    EXPECT_TRUE(t.StopThread());
    EXPECT_FALSE(t.IsRunning());
    EXPECT_FALSE(t.PostItem(new RecordingThread::Item(2, &deleted), 1));
    EXPECT_EQ(deleted.load(), 2);
    EXPECT_TRUE(t.Ran().empty());
    // Can start again after a stop.
    ASSERT_TRUE(t.StartThread("worker"));
    EXPECT_TRUE(t.PostItem(new RecordingThread::Item(3, &deleted), 0));
    ASSERT_TRUE(t.WaitForRan(1));
}

TEST(WorkItemThreadTest, ThrowingItemIsDeletedAndTheNextStillRuns) {
    std::atomic<int> deleted{0};
    RecordingThread t;
    ASSERT_TRUE(t.StartThread("worker"));
    EXPECT_TRUE(t.PostItem(new RecordingThread::Item(1, &deleted, /*throws=*/true), 0));
    EXPECT_TRUE(t.PostItem(new RecordingThread::Item(2, &deleted), 0));
    ASSERT_TRUE(t.WaitForRan(2));
    t.StopThread();
    EXPECT_EQ(t.Ran(), (std::vector<int>{1, 2}));
    EXPECT_EQ(deleted.load(), 2);
}

TEST(WorkItemThreadTest, StopDropsWaitingItemsAndLetsTheRunningOneFinish) {
    std::atomic<int> deleted{0};
    RecordingThread t;
    ASSERT_TRUE(t.StartThread("worker"));
    ASSERT_TRUE(t.PostItem(new RecordingThread::Item(RecordingThread::kBlocker, &deleted), 0));
    ASSERT_TRUE(t.started.Wait(5000));
    ASSERT_TRUE(t.PostItem(new RecordingThread::Item(7, &deleted), 0));
    std::thread releaser([&] {
        platform::SleepMs(50);
        t.release.Set();
    });
    t.StopThread();
    releaser.join();
    EXPECT_EQ(t.Ran(), (std::vector<int>{RecordingThread::kBlocker}));
    EXPECT_EQ(deleted.load(), 2);
}

}  // namespace
}  // namespace talvane
