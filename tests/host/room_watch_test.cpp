// Kernel::WatchForRoom: a caller's descriptor served outside the driver.
#include "host_test_driver.h"

#include "../support/eventually.h"
#include <host/common/unique_fd.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace hosttest {
namespace {

using RoomWatchTest = HostKernelTest;

// A watch ended before room comes reports nothing, and the caller's
// descriptor is its own still: the watch had a duplicate. Armed again while
// there is room, a watch reports at once.
TEST_F(RoomWatchTest, ReportsRoomOncePerArmAndNothingOnceEnded)
{
    int ends[2] = {-1, -1};
    ASSERT_EQ(pipe2(ends, O_NONBLOCK | O_CLOEXEC), 0);
    const zel::UniqueFd reader(ends[0]);
    const zel::UniqueFd writer(ends[1]);
    std::vector<char> block(65536, 'x');
    while (write(writer.Get(), block.data(), block.size()) > 0) {
    }
    ASSERT_EQ(errno, EAGAIN);  // full
    // Counts the watch's reports, each on another thread at PASSIVE_LEVEL.
    const auto watch = [&, self = std::this_thread::get_id()](std::atomic<int>& runs) {
        return Kernel().WatchForRoom(writer.Get(), [&runs, self] {
            EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
            EXPECT_NE(std::this_thread::get_id(), self);
            ++runs;
        });
    };
    std::atomic<int> ended{0};
    watch(ended)->Arm();
    std::atomic<int> runs{0};
    auto watching = watch(runs);
    watching->Arm();
    while (read(reader.Get(), block.data(), block.size()) > 0) {
    }
    EXPECT_EQ(write(writer.Get(), "y", 1), 1);
    ASSERT_TRUE(zel::test::Eventually([&] { return runs == 1; }));
    watching->Arm();
    EXPECT_TRUE(zel::test::Eventually([&] { return runs == 2; }));
    EXPECT_EQ(ended, 0);
}

}  // namespace
}  // namespace hosttest
