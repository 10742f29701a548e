// Where a client looks for the daemon's socket.
#include <zelvcom_ipc/runtime_paths.h>

#include <gtest/gtest.h>

#include <cstdlib>

namespace zelipc {
namespace {

class RuntimePathsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        unsetenv(kSocketEnvironment);
        unsetenv(kStateEnvironment);
    }
    void TearDown() override { SetUp(); }
};

TEST_F(RuntimePathsTest, TheSocketVariableWins)
{
    setenv(kSocketEnvironment, "/run/somewhere/s", 1);
    setenv(kStateEnvironment, "/elsewhere", 1);
    EXPECT_EQ(ClientSocketPath(), "/run/somewhere/s");
}

TEST_F(RuntimePathsTest, TheStateVariableNamesTheDirectory)
{
    setenv(kStateEnvironment, "/srv/zel", 1);
    EXPECT_EQ(ClientSocketPath(), "/srv/zel/zelvcomd.sock");
}

TEST_F(RuntimePathsTest, OtherwiseTheDaemonsDefaultStateDirectory)
{
    EXPECT_EQ(ClientSocketPath(), DefaultStateDirectory() / "zelvcomd.sock");
}

TEST_F(RuntimePathsTest, AnEmptyVariableCountsAsUnset)
{
    setenv(kSocketEnvironment, "", 1);
    EXPECT_EQ(ClientSocketPath(), DefaultStateDirectory() / "zelvcomd.sock");
}

}  // namespace
}  // namespace zelipc
