// The layer's main queue and its clock, real or driven, as the plug-in and hosts rely on them.
#include <dispatch/dispatch.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <platform/host.h>

#include <ctime>
#include <thread>
#include <vector>

namespace {

using ::testing::ElementsAre;

TEST(DispatchQueue, DrivenClockRunsTasksInTimeThenQueueOrder) {
    PLHostDiscardTasks();
    PLHostUseDrivenClock(1700000000);
    std::vector<int> order;
    dispatch_time_t start = dispatch_time(DISPATCH_TIME_NOW, 0);
    dispatch_after(dispatch_time(start, 2 * NSEC_PER_SEC), dispatch_get_main_queue(), [&] { order.push_back(3); });
    dispatch_after(dispatch_time(start, NSEC_PER_SEC), dispatch_get_main_queue(), [&] { order.push_back(1); });
    dispatch_after(dispatch_time(start, NSEC_PER_SEC), dispatch_get_main_queue(), [&] { order.push_back(2); });
    EXPECT_EQ(PLHostPendingTasks(), 3u);
    EXPECT_FALSE(PLHostRunNextTask(int64_t(start) + 500000000));  // none due: the clock moves to the deadline
    EXPECT_EQ(PLHostClockNanoseconds(), int64_t(start) + 500000000);
    EXPECT_EQ(time(nullptr), 1700000000);
    while (PLHostRunNextTask(int64_t(start) + 10 * int64_t(NSEC_PER_SEC))) {
    }
    EXPECT_THAT(order, ElementsAre(1, 2, 3));
    EXPECT_EQ(time(nullptr), 1700000010);  // the wall clock moved with it
    PLHostUseRealClock();
    EXPECT_GT(time(nullptr), 1700000010);
}

TEST(DispatchQueue, RealClockWaitsForTasksQueuedFromOtherThreads) {
    PLHostDiscardTasks();
    PLHostUseRealClock();
    bool ran = false;
    std::thread([&] {
        dispatch_after(dispatch_time(DISPATCH_TIME_NOW, 0), dispatch_get_main_queue(), [&] { ran = true; });
    }).join();
    EXPECT_TRUE(PLHostRunNextTask(PLHostClockNanoseconds() + 10 * int64_t(NSEC_PER_SEC)));
    EXPECT_TRUE(ran);
    EXPECT_EQ(dispatch_time(DISPATCH_TIME_FOREVER, 1), DISPATCH_TIME_FOREVER);
}

TEST(DispatchQueue, RealClockLeavesATaskDueAfterTheDeadlineToAHostThatCallsLate) {
    PLHostDiscardTasks();
    PLHostUseRealClock();
    bool ran = false;
    // Already due on the real clock, so neither call below has anything to wait for.
    dispatch_after(dispatch_time(DISPATCH_TIME_NOW, -1000000), dispatch_get_main_queue(), [&] { ran = true; });
    const int64_t due = PLHostNextTaskTime();
    ASSERT_GT(due, 1);
    ASSERT_LE(due, PLHostClockNanoseconds());
    EXPECT_FALSE(PLHostRunNextTask(due - 1));
    EXPECT_FALSE(ran);
    EXPECT_EQ(PLHostPendingTasks(), 1u);
    EXPECT_TRUE(PLHostRunNextTask(due));
    EXPECT_TRUE(ran);
}

}  // namespace
