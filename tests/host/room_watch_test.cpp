// Kernel::WatchForRoom: a caller's descriptor served on the transport's
// thread, once per Arm, outside the driver.
#include "../support/eventually.h"
#include "../support/temp_dir.h"

#include <host/kernel.h>
#include <wdm.h>

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <mutex>
#include <thread>
#include <vector>

namespace {

struct Runs {
    std::atomic<int> Count{0};
    std::atomic<KIRQL> Irql{HIGH_LEVEL};
    std::mutex Mutex;
    std::thread::id Thread;
};

class RoomWatchTest : public ::testing::Test {
protected:
    RoomWatchTest() : kernel_(host::KernelOptions{dir_.Path(), {}})
    {
        int ends[2] = {-1, -1};
        EXPECT_EQ(pipe2(ends, O_NONBLOCK | O_CLOEXEC), 0);
        reader_ = ends[0];
        writer_ = ends[1];
    }
    ~RoomWatchTest() override
    {
        close(reader_);
        close(writer_);
    }

    // Writes until the pipe takes no more.
    void Fill()
    {
        const std::vector<char> block(4096, 'x');
        while (write(writer_, block.data(), block.size()) > 0) {
        }
        ASSERT_EQ(errno, EAGAIN);
    }

    void Drain()
    {
        std::vector<char> block(65536);
        while (read(reader_, block.data(), block.size()) > 0) {
        }
    }

    std::unique_ptr<host::RoomWatch> Watch(Runs& runs)
    {
        return kernel_.WatchForRoom(writer_, [&runs] {
            runs.Irql = KeGetCurrentIrql();
            {
                std::lock_guard<std::mutex> lock(runs.Mutex);
                runs.Thread = std::this_thread::get_id();
            }
            ++runs.Count;
        });
    }

    zel::test::TempDir dir_;
    host::Kernel kernel_;
    int reader_ = -1;
    int writer_ = -1;
};

TEST_F(RoomWatchTest, ReportsRoomOncePerArmOnTheTransportsThreadAtPassiveLevel)
{
    Runs runs;
    auto watch = Watch(runs);
    Fill();
    watch->Arm();
    Drain();
    ASSERT_TRUE(zel::test::Eventually([&] { return runs.Count == 1; }));
    EXPECT_EQ(runs.Irql, PASSIVE_LEVEL);
    {
        std::lock_guard<std::mutex> lock(runs.Mutex);
        EXPECT_NE(runs.Thread, std::this_thread::get_id());
    }
    // Armed again while there is room, it reports at once.
    watch->Arm();
    EXPECT_TRUE(zel::test::Eventually([&] { return runs.Count == 2; }));
}

TEST_F(RoomWatchTest, AWatchEndedBeforeRoomComesReportsNothingAndLeavesTheDescriptorOpen)
{
    Runs runs;
    Fill();
    {
        auto watch = Watch(runs);
        watch->Arm();
    }
    Drain();
    // The caller's descriptor is its own still: the watch had a duplicate.
    EXPECT_EQ(write(writer_, "y", 1), 1);
    Runs later;
    auto next = Watch(later);
    next->Arm();
    ASSERT_TRUE(zel::test::Eventually([&] { return later.Count == 1; }));
    EXPECT_EQ(runs.Count, 0);
}

}  // namespace
