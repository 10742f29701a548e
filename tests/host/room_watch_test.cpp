// Kernel::WatchForRoom: a caller's descriptor served outside the driver.
#include "host_test_driver.h"

#include "../support/eventually.h"
#include <host/common/unique_fd.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace hosttest {
namespace {

class RoomWatchTest : public HostKernelTest {
protected:
    void SetUp() override
    {
        HostKernelTest::SetUp();
        int ends[2] = {-1, -1};
        ASSERT_EQ(pipe2(ends, O_NONBLOCK | O_CLOEXEC), 0);
        reader_ = zel::UniqueFd(ends[0]);
        writer_ = zel::UniqueFd(ends[1]);
        const std::vector<char> block(4096, 'x');
        while (write(writer_.Get(), block.data(), block.size()) > 0) {
        }
        ASSERT_EQ(errno, EAGAIN);  // full
    }

    // Counts the watch's reports, each on another thread at PASSIVE_LEVEL.
    std::unique_ptr<host::RoomWatch> Watch(std::atomic<int>& runs)
    {
        const std::thread::id self = std::this_thread::get_id();
        return Kernel().WatchForRoom(writer_.Get(), [&runs, self] {
            EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
            EXPECT_NE(std::this_thread::get_id(), self);
            ++runs;
        });
    }

    zel::UniqueFd reader_;
    zel::UniqueFd writer_;
};

// A watch ended before room comes reports nothing, and the caller's
// descriptor is its own still: the watch had a duplicate. Armed again while
// there is room, a watch reports at once.
TEST_F(RoomWatchTest, ReportsRoomOncePerArmAndNothingOnceEnded)
{
    std::atomic<int> ended{0};
    Watch(ended)->Arm();
    std::atomic<int> runs{0};
    auto watch = Watch(runs);
    watch->Arm();
    std::vector<char> block(65536);
    while (read(reader_.Get(), block.data(), block.size()) > 0) {
    }
    EXPECT_EQ(write(writer_.Get(), "y", 1), 1);
    ASSERT_TRUE(zel::test::Eventually([&] { return runs == 1; }));
    watch->Arm();
    EXPECT_TRUE(zel::test::Eventually([&] { return runs == 2; }));
    EXPECT_EQ(ended, 0);
}

}  // namespace
}  // namespace hosttest
