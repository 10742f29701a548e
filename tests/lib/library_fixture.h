// Every test gets a daemon of its own, reached through ZELVCOM_SOCKET: for
// the control library's tests, and vcomctl's.
#pragma once

#include "support/daemon_process.h"
#include "support/temp_dir.h"

#include <VZelSerial.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace zel::test {

class LibraryTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        const std::string socket = dir_.File("zelvcomd.sock");
        UseDaemonSocket(socket);
        daemon_ = std::make_unique<DaemonProcess>(dir_.File("state"), socket);
        ASSERT_TRUE(daemon_->WaitReady()) << daemon_->Log();
    }

    TempDir dir_;
    std::unique_ptr<DaemonProcess> daemon_;
};

}  // namespace zel::test
