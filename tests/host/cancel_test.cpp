// Cancelling pending requests: the cancel routine runs with the cancel spin
// lock held and Irp->Cancel set; PendingIo::Cancel and File::CancelAll reach
// every pending request, and are harmless once it has completed.
#include "host_test_driver.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <vector>

namespace hosttest {
namespace {

constexpr const char* kDevice = "\\\\.\\HostTest0";
constexpr ULONG kReadLength = 4;

struct CancelLog {
    std::mutex Mutex;
    std::vector<PIRP> Pending;
    int Calls = 0;
    bool SawCancel = true;
    bool AtDispatchLevel = true;
};

CancelLog* Log()
{
    return static_cast<CancelLog*>(TestDriver::Extension(TestDriver::Current->Device(0))->Context);
}

void NTAPI CancelRead(PDEVICE_OBJECT device, PIRP irp)
{
    UNREFERENCED_PARAMETER(device);
    CancelLog* log = Log();
    {
        std::lock_guard<std::mutex> lock(log->Mutex);
        ++log->Calls;
        log->SawCancel = log->SawCancel && irp->Cancel;
        log->AtDispatchLevel = log->AtDispatchLevel && KeGetCurrentIrql() == DISPATCH_LEVEL;
        log->Pending.erase(std::remove(log->Pending.begin(), log->Pending.end(), irp),
                           log->Pending.end());
    }
    IoReleaseCancelSpinLock(irp->CancelIrql);
    Complete(irp, STATUS_CANCELLED);
}

// Pends every read with a cancel routine, the way a serial driver does.
NTSTATUS PendCancellable(PDEVICE_OBJECT, PIRP irp)
{
    CancelLog* log = Log();
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    if (irp->Cancel) {
        IoReleaseCancelSpinLock(irql);
        return Complete(irp, STATUS_CANCELLED);
    }
    IoMarkIrpPending(irp);
    IoSetCancelRoutine(irp, CancelRead);
    {
        std::lock_guard<std::mutex> lock(log->Mutex);
        log->Pending.push_back(irp);
    }
    IoReleaseCancelSpinLock(irql);
    return STATUS_PENDING;
}

class CancelTest : public HostKernelTest {
protected:
    void SetUp() override
    {
        HostKernelTest::SetUp();
        driver_.Dispatch[IRP_MJ_READ] = PendCancellable;
        LoadDriver();
        TestDriver::Extension(driver_.Device(0))->Context = &log_;
        file_ = OpenOk(kDevice);
    }

    void TearDown() override
    {
        file_.reset();
        HostKernelTest::TearDown();
    }

    // Completes the oldest pending read the way a driver does when data
    // arrives: only if it can take the cancel routine back.
    bool CompleteOldest(NTSTATUS status)
    {
        PIRP irp = nullptr;
        {
            std::lock_guard<std::mutex> lock(log_.Mutex);
            if (log_.Pending.empty()) {
                return false;
            }
            irp = log_.Pending.front();
        }
        KIRQL irql;
        IoAcquireCancelSpinLock(&irql);
        const bool owned = IoSetCancelRoutine(irp, nullptr) != nullptr;
        if (owned) {
            std::lock_guard<std::mutex> lock(log_.Mutex);
            log_.Pending.erase(log_.Pending.begin());
        }
        IoReleaseCancelSpinLock(irql);
        if (owned) {
            Complete(irp, status);
        }
        return owned;
    }

    CancelLog log_;
    std::unique_ptr<host::File> file_;
};

TEST_F(CancelTest, CancelRunsTheCancelRoutine)
{
    auto read = file_->StartRead(kReadLength);
    EXPECT_FALSE(read->Done());
    read->Cancel();
    EXPECT_EQ(read->Wait().Status, STATUS_CANCELLED);
    EXPECT_TRUE(read->Wait().Data.empty());
    EXPECT_EQ(log_.Calls, 1);
    EXPECT_TRUE(log_.SawCancel);
    EXPECT_TRUE(log_.AtDispatchLevel);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST_F(CancelTest, CancelAllReachesEveryPendingRequest)
{
    auto first = file_->StartRead(kReadLength);
    auto second = file_->StartRead(kReadLength);
    file_->CancelAll();
    EXPECT_EQ(first->Wait().Status, STATUS_CANCELLED);
    EXPECT_EQ(second->Wait().Status, STATUS_CANCELLED);
    EXPECT_EQ(log_.Calls, 2);
}

TEST_F(CancelTest, CancelAfterCompletionIsHarmless)
{
    auto read = file_->StartRead(kReadLength);
    ASSERT_TRUE(CompleteOldest(STATUS_SUCCESS));
    EXPECT_EQ(read->Wait().Status, STATUS_SUCCESS);
    read->Cancel();
    file_->CancelAll();
    EXPECT_EQ(log_.Calls, 0);
    EXPECT_EQ(read->Wait().Status, STATUS_SUCCESS);
}

TEST_F(CancelTest, CancelOnlyTouchesItsOwnRequest)
{
    auto first = file_->StartRead(kReadLength);
    auto second = file_->StartRead(kReadLength);
    second->Cancel();
    EXPECT_EQ(second->Wait().Status, STATUS_CANCELLED);
    EXPECT_FALSE(first->Done());
    ASSERT_TRUE(CompleteOldest(STATUS_SUCCESS));
    EXPECT_EQ(first->Wait().Status, STATUS_SUCCESS);
}

TEST_F(CancelTest, ClosingDoesNotCancelButTheCloseWaits)
{
    auto read = file_->StartRead(kReadLength);
    file_->Close();
    EXPECT_FALSE(read->Done());
    EXPECT_EQ(log_.Calls, 0);
    read->Cancel();
    EXPECT_EQ(read->Wait().Status, STATUS_CANCELLED);
}

using CancelDeathTest = CancelTest;

TEST_F(CancelDeathTest, CompletingWithTheCancelRoutineSet)
{
    EXPECT_DEATH(
        {
            auto read = file_->StartRead(kReadLength);
            Complete(log_.Pending.front(), STATUS_SUCCESS);
        },
        "CANCEL_STATE_IN_COMPLETED_IRP.*cancel routine still set");
}

TEST_F(CancelDeathTest, CancellingACompletedIrp)
{
    EXPECT_DEATH(
        {
            auto read = file_->StartRead(kReadLength);
            PIRP irp = log_.Pending.front();
            CompleteOldest(STATUS_SUCCESS);
            read->Wait();
            IoCancelIrp(irp);
        },
        "CANCEL_STATE_IN_COMPLETED_IRP.*already completed");
}

}  // namespace
}  // namespace hosttest
