// The comm API as the serial I/O controls it issues, against a fake
// DeviceIoControl that records every call and answers from canned state.
#include "comm_port.h"

#include "serial_ioctl.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <vector>

namespace zelwin32 {
namespace {

HANDLE const kDevice = reinterpret_cast<HANDLE>(0x104);
constexpr BYTE kDeviceBreakChar = 0x55;

class CommPortTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        Answer(kIoctlGetBaudRate, SerialBaudRate{CBR_9600});
        Answer(kIoctlGetLineControl, SerialLineControl{ONESTOPBIT, NOPARITY, 8});
        Answer(kIoctlGetChars, SerialChars{0, 0, kDeviceBreakChar, 0, 0x11, 0x13});
        Answer(kIoctlGetHandflow, SerialHandflow{kSerialDtrControl, kSerialRtsControl, 2048, 512});
    }

    // The output bytes a GET control answers with.
    template <typename T>
    void Answer(DWORD code, const T& value)
    {
        const auto* bytes = reinterpret_cast<const BYTE*>(&value);
        answers_[code].assign(bytes, bytes + sizeof value);
    }

    // Records each call's code and input; fails failCode_ as an invalid
    // parameter.
    CommPort Port()
    {
        return CommPort(
            kDevice,
            [this](HANDLE device, DWORD code, LPVOID input, DWORD inputLength, LPVOID output,
                   DWORD outputLength, LPDWORD returned, LPOVERLAPPED overlapped) -> BOOL {
                EXPECT_EQ(device, kDevice);
                codes_.push_back(code);
                const auto* in = static_cast<const BYTE*>(input);
                inputs_[code].assign(in, in + inputLength);
                EXPECT_EQ(overlapped, nullptr);
                if (code == failCode_) {
                    SetLastError(ERROR_INVALID_PARAMETER);
                    return FALSE;
                }
                const auto& answer = answers_[code];
                EXPECT_EQ(outputLength, answer.size()) << std::hex << code;
                if (!answer.empty()) {
                    std::memcpy(output, answer.data(),
                                std::min<std::size_t>(answer.size(), outputLength));
                }
                *returned = outputLength;
                return TRUE;
            });
    }

    // The input of the last call with the code, as a structure.
    template <typename T>
    T Sent(DWORD code)
    {
        T value{};
        const auto& input = inputs_[code];
        EXPECT_EQ(input.size(), sizeof value) << std::hex << code;
        std::copy_n(input.begin(), std::min(input.size(), sizeof value),
                    reinterpret_cast<BYTE*>(&value));
        return value;
    }

    std::map<DWORD, std::vector<BYTE>> answers_;
    std::map<DWORD, std::vector<BYTE>> inputs_;
    std::vector<DWORD> codes_;
    DWORD failCode_ = 0;
};

// Windows reads the four settings, then sets them in its own order; RTS and
// DTR under program control are set explicitly, under handshake not at all.
TEST_F(CommPortTest, SetCommStateReadsFirstThenSetsInWindowsOrder)
{
    DCB dcb{};
    ASSERT_TRUE(Port().GetState(&dcb));
    const std::vector<DWORD> reads = {kIoctlGetBaudRate, kIoctlGetLineControl, kIoctlGetChars,
                                      kIoctlGetHandflow};
    EXPECT_EQ(codes_, reads);
    EXPECT_EQ(dcb.fRtsControl, static_cast<DWORD>(RTS_CONTROL_ENABLE));

    codes_.clear();
    dcb.BaudRate = CBR_115200;
    dcb.Parity = EVENPARITY;
    dcb.ByteSize = 7;
    dcb.fDtrControl = DTR_CONTROL_DISABLE;
    ASSERT_TRUE(Port().SetState(&dcb));
    std::vector<DWORD> expected = reads;
    expected.insert(expected.end(), {kIoctlSetBaudRate, kIoctlSetRts, kIoctlClrDtr,
                                     kIoctlSetLineControl, kIoctlSetChars, kIoctlSetHandflow});
    EXPECT_EQ(codes_, expected);
    EXPECT_EQ(Sent<SerialBaudRate>(kIoctlSetBaudRate).BaudRate, 115200u);
    EXPECT_EQ(Sent<SerialLineControl>(kIoctlSetLineControl).Parity, EVENPARITY);
    EXPECT_EQ(Sent<SerialLineControl>(kIoctlSetLineControl).WordLength, 7);
    // The DCB has no break character: the device's stays.
    EXPECT_EQ(Sent<SerialChars>(kIoctlSetChars).BreakChar, kDeviceBreakChar);

    codes_.clear();
    dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
    dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;
    ASSERT_TRUE(Port().SetState(&dcb));
    for (DWORD line : {kIoctlSetRts, kIoctlClrRts, kIoctlSetDtr, kIoctlClrDtr}) {
        EXPECT_EQ(std::count(codes_.begin(), codes_.end(), line), 0) << std::hex << line;
    }
}

TEST_F(CommPortTest, ARefusedSettingPutsTheOldStateBackAndKeepsTheError)
{
    DCB dcb{};
    ASSERT_TRUE(Port().GetState(&dcb));
    dcb.BaudRate = CBR_57600;
    failCode_ = kIoctlSetLineControl;
    EXPECT_FALSE(Port().SetState(&dcb));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    // The second SET_BAUD_RATE restores 9600.
    EXPECT_EQ(Sent<SerialBaudRate>(kIoctlSetBaudRate).BaudRate, 9600u);
}

// ClearCommError's outputs are both optional; an escape function Windows
// does not know sends nothing.
TEST_F(CommPortTest, OptionalOutputsAndUnknownEscapes)
{
    SerialStatus status{};
    status.AmountInInQueue = 9;
    Answer(kIoctlGetCommStatus, status);
    COMSTAT stat{};
    ASSERT_TRUE(Port().ClearError(nullptr, &stat));
    EXPECT_EQ(stat.cbInQue, 9u);
    ASSERT_TRUE(Port().Escape(CLRBREAK));
    EXPECT_EQ(codes_.back(), kIoctlSetBreakOff);
    codes_.clear();
    constexpr DWORD kNoSuchFunction = 42;
    EXPECT_FALSE(Port().Escape(kNoSuchFunction));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_TRUE(codes_.empty());
}

}  // namespace
}  // namespace zelwin32
