// A kernel with the TCP transport, an address object and an endpoint
// associated with it (the test's event handlers registered on the
// address), and a loopback listener to connect to.
#pragma once

#include "tdi_client.h"

#include <memory>

namespace hosttest {

class TdiTest : public HostKernelTest {
protected:
    void SetUp() override
    {
        HostKernelTest::SetUp();
        events_ = std::make_unique<TdiEvents>();
    }

    void TearDown() override
    {
        endpoint_.Close();
        address_.Close();
        HostKernelTest::TearDown();
    }

    CONNECTION_CONTEXT Context() { return &context_; }

    void OpenObjects()
    {
        address_ = OpenAddress();
        endpoint_ = OpenEndpoint(Context());
        TdiRequest associate(endpoint_);
        associate.Associate(address_.Handle());
        ASSERT_EQ(associate.Wait(), STATUS_SUCCESS);
        ASSERT_EQ(events_->Register(address_), STATUS_SUCCESS);
    }

    // Connects the endpoint to the listener and accepts the peer's side.
    void Connect()
    {
        TdiRequest connect(endpoint_);
        connect.Connect(listener_.Port(), nullptr);
        ASSERT_EQ(connect.Wait(), STATUS_SUCCESS);
        peer_ = listener_.Accept();
        ASSERT_TRUE(peer_.Valid());
    }

    void OpenAndConnect()
    {
        ASSERT_NO_FATAL_FAILURE(OpenObjects());
        ASSERT_NO_FATAL_FAILURE(Connect());
    }

    int context_ = 0;
    std::unique_ptr<TdiEvents> events_;
    Listener listener_;
    TdiObject address_;
    TdiObject endpoint_;
    zel::UniqueFd peer_;
};

}  // namespace hosttest
