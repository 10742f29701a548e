// A ConnectionRecord driven directly: open, connect, one posted receive,
// send, disconnect and close against zelmodsim, and the guards on a record
// that is not open.
#include "net_fixture.h"

#include "core/counted_string.h"
#include "net/connection.h"
#include "net/transport.h"

#include <atomic>
#include <cstring>

namespace zeltest {
namespace {

struct ReceiveOutcome {
    std::atomic<int> Completions{0};
    std::atomic<NTSTATUS> Status{STATUS_PENDING};
    std::atomic<ULONG_PTR> Bytes{0};
};

VOID NoteReceive(PVOID Context, PIO_STATUS_BLOCK StatusBlock, ULONG_PTR Extra)
{
    auto* outcome = static_cast<ReceiveOutcome*>(Context);
    EXPECT_EQ(Extra, 0u);
    outcome->Status = StatusBlock->Status;
    outcome->Bytes = StatusBlock->Information;
    ++outcome->Completions;
}

bool WaitCompletions(const ReceiveOutcome& outcome, int count)
{
    zel::test::Deadline deadline;
    while (outcome.Completions.load() < count) {
        if (deadline.Passed()) {
            return false;
        }
        std::this_thread::yield();
    }
    return true;
}

class ConnectionTest : public NetTest {
protected:
    void SetUp() override
    {
        NetTest::SetUp();
        module_ = std::make_unique<ModuleSimulator>(std::vector<std::string>{"echo"});
        // The record needs a device to run its deferred work on.
        AddLoopbackModule(module_->ControlPort(), {module_->ChannelPort(1)});
        std::memset(&record_, 0, sizeof(record_));
        SetConnectionTarget(&record_, Ip(127, 0, 0, 1), ByteSwap16(module_->ChannelPort(1)));
        SetConnectionOwner(&record_, Device("\\Device\\VSer5"));
    }

    void TearDown() override
    {
        CloseConnection(&record_);
        NetTest::TearDown();
    }

    std::unique_ptr<ModuleSimulator> module_;
    ConnectionRecord record_;
};

TEST_F(ConnectionTest, ARecordThatIsNotOpenRefusesConnectsAndReceives)
{
    EXPECT_EQ(Connect(&record_), STATUS_INVALID_DEVICE_STATE);
    EXPECT_FALSE(record_.Connected);
    ReceiveOutcome outcome;
    EXPECT_EQ(PostReceive(&record_, NoteReceive, &outcome), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(Disconnect(&record_), STATUS_SUCCESS);
    EXPECT_EQ(CloseConnection(&record_), STATUS_SUCCESS);
    EXPECT_EQ(SendConnection(&record_), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(outcome.Completions.load(), 0);
}

TEST_F(ConnectionTest, OneReceiveStaysPostedAndCarriesWhatWasSent)
{
    ASSERT_EQ(OpenConnection(&record_), STATUS_SUCCESS);
    ASSERT_EQ(Connect(&record_), STATUS_SUCCESS);
    ASSERT_TRUE(module_->Saw("CONNECTED channel=1"));
    EXPECT_EQ(Connect(&record_), STATUS_SUCCESS);  // connected: no second connection

    ReceiveOutcome outcome;
    ASSERT_EQ(PostReceive(&record_, NoteReceive, &outcome), STATUS_PENDING);
    // One is with the transport already: the second is not posted.
    EXPECT_EQ(PostReceive(&record_, NoteReceive, &outcome), STATUS_SUCCESS);
    EXPECT_EQ(record_.Receive.InFlight, 1u);

    std::memcpy(record_.SendBuffer, "ping", 4);
    record_.SendLength = 4;
    EXPECT_EQ(SendConnection(&record_), STATUS_SUCCESS);
    ASSERT_TRUE(WaitCompletions(outcome, 1));
    EXPECT_EQ(outcome.Status.load(), STATUS_SUCCESS);
    EXPECT_EQ(outcome.Bytes.load(), 4u);
    EXPECT_EQ(std::memcmp(record_.ReceiveBuffer, "ping", 4), 0);
    EXPECT_EQ(record_.SendMdl, nullptr);

    EXPECT_EQ(Disconnect(&record_), STATUS_SUCCESS);
    EXPECT_FALSE(record_.Connected);
    EXPECT_TRUE(module_->Saw("DISCONNECTED channel=1 reason=peer"));
    EXPECT_EQ(CloseConnection(&record_), STATUS_SUCCESS);
    EXPECT_FALSE(record_.Opened);
    EXPECT_EQ(record_.ReceiveBuffer, nullptr);
    EXPECT_EQ(record_.SendBuffer, nullptr);
    EXPECT_EQ(record_.Endpoint.FileObject, nullptr);
    EXPECT_EQ(record_.AddressObject.FileObject, nullptr);
    EXPECT_EQ(outcome.Completions.load(), 1);
}

TEST_F(ConnectionTest, TheLastCompletionClosesTheEndpointAtPassiveLevel)
{
    ASSERT_EQ(OpenConnection(&record_), STATUS_SUCCESS);
    ASSERT_EQ(Connect(&record_), STATUS_SUCCESS);
    ASSERT_TRUE(module_->Saw("CONNECTED channel=1"));
    ReceiveOutcome outcome;
    ASSERT_EQ(PostReceive(&record_, NoteReceive, &outcome), STATUS_PENDING);

    // The owner lets go while the receive is with the transport: the
    // endpoint stays open for it.
    ReleaseEndpoint(&record_.Endpoint);
    EXPECT_EQ(record_.Endpoint.ReferenceCount, 1);
    EXPECT_NE(record_.Endpoint.FileObject, nullptr);

    // Its completion (in the transport's thread, at DISPATCH_LEVEL) drops
    // the last reference; the close runs from the work item.
    ASSERT_EQ(module_->Command("send 1 last").rfind("ok", 0), 0u);
    ASSERT_TRUE(WaitCompletions(outcome, 1));
    EXPECT_EQ(outcome.Bytes.load(), 4u);
    EXPECT_EQ(KeWaitForSingleObject(&record_.Closer.Closed, Executive, KernelMode, FALSE, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(record_.Endpoint.FileObject, nullptr);
    EXPECT_EQ(record_.Endpoint.AddressObject, nullptr);
    EXPECT_EQ(record_.AddressObject.ReferenceCount, 1);  // the owner's
    EXPECT_TRUE(module_->SawPrefix("DISCONNECTED channel=1 "));

    // A release past zero changes nothing; the close releases the rest.
    ReleaseEndpoint(&record_.Endpoint);
    EXPECT_EQ(record_.Endpoint.ReferenceCount, 0);
    EXPECT_EQ(CloseConnection(&record_), STATUS_SUCCESS);
    EXPECT_EQ(record_.AddressObject.ReferenceCount, 0);
    EXPECT_EQ(record_.AddressObject.FileObject, nullptr);
}

TEST_F(ConnectionTest, AnOpenRecordRefusedByItsPeerCanConnectLater)
{
    ClosedPort refusing;
    SetConnectionTarget(&record_, Ip(127, 0, 0, 1), ByteSwap16(refusing.Port()));
    ASSERT_EQ(OpenConnection(&record_), STATUS_SUCCESS);
    EXPECT_TRUE(record_.Opened);
    EXPECT_EQ(record_.AddressObject.ReferenceCount, 2);  // the owner's and the endpoint's
    // A second open changes nothing.
    PFILE_OBJECT endpoint = record_.Endpoint.FileObject;
    record_.PeerDisconnected = 1;
    EXPECT_EQ(OpenConnection(&record_), STATUS_SUCCESS);
    EXPECT_EQ(record_.PeerDisconnected, 1u);
    EXPECT_EQ(record_.Endpoint.FileObject, endpoint);
    // Open but not connected: a send fails in the transport.
    std::memcpy(record_.SendBuffer, "x", 1);
    record_.SendLength = 1;
    EXPECT_TRUE(NT_ERROR(SendConnection(&record_)));

    NTSTATUS status = Connect(&record_);
    EXPECT_TRUE(NT_ERROR(status)) << std::hex << status;
    EXPECT_FALSE(record_.Connected);
    EXPECT_TRUE(record_.Opened);

    refusing.Listen();
    EXPECT_EQ(Connect(&record_), STATUS_SUCCESS);
    EXPECT_TRUE(refusing.Accept().Valid());
}

}  // namespace
}  // namespace zeltest
