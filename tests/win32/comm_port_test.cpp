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

struct Call {
    DWORD Code;
    std::vector<BYTE> Input;
    LPOVERLAPPED Overlapped;
};

class FakeDevice {
public:
    // Output bytes a GET control answers with.
    template <typename T>
    void Answer(DWORD code, const T& value)
    {
        const auto* bytes = reinterpret_cast<const BYTE*>(&value);
        answers_[code].assign(bytes, bytes + sizeof value);
    }
    void FailOn(DWORD code, DWORD error)
    {
        failCode_ = code;
        failError_ = error;
    }

    IoControlCall Function()
    {
        return [this](HANDLE device, DWORD code, LPVOID input, DWORD inputLength, LPVOID output,
                      DWORD outputLength, LPDWORD returned, LPOVERLAPPED overlapped) -> BOOL {
            EXPECT_EQ(device, kDevice);
            const auto* in = static_cast<const BYTE*>(input);
            calls_.push_back({code, std::vector<BYTE>(in, in + inputLength), overlapped});
            if (code == failCode_) {
                SetLastError(failError_);
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
        };
    }

    std::vector<DWORD> Codes() const
    {
        std::vector<DWORD> codes;
        for (const auto& call : calls_) {
            codes.push_back(call.Code);
        }
        return codes;
    }
    // The input of the last call with the code, as a structure.
    template <typename T>
    T LastInput(DWORD code) const
    {
        T value{};
        for (const auto& call : calls_) {
            if (call.Code == code) {
                EXPECT_EQ(call.Input.size(), sizeof value);
                if (!call.Input.empty()) {
                    std::memcpy(&value, call.Input.data(),
                                std::min(call.Input.size(), sizeof value));
                }
            }
        }
        return value;
    }
    const std::vector<Call>& Calls() const { return calls_; }

private:
    std::map<DWORD, std::vector<BYTE>> answers_;
    std::vector<Call> calls_;
    DWORD failCode_ = 0;
    DWORD failError_ = 0;
};

class CommPortTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        device_.Answer(kIoctlGetBaudRate, SerialBaudRate{CBR_9600});
        device_.Answer(kIoctlGetLineControl, SerialLineControl{ONESTOPBIT, NOPARITY, 8});
        device_.Answer(kIoctlGetChars, SerialChars{0, 0, kDeviceBreakChar, 0, 0x11, 0x13});
        device_.Answer(kIoctlGetHandflow,
                       SerialHandflow{kSerialDtrControl, kSerialRtsControl, 2048, 512});
    }

    CommPort Port() { return CommPort(kDevice, device_.Function()); }

    static constexpr BYTE kDeviceBreakChar = 0x55;
    FakeDevice device_;
};

TEST_F(CommPortTest, GetCommStateReadsTheFourSettingsInWindowsOrder)
{
    DCB dcb{};
    ASSERT_TRUE(Port().GetState(&dcb));
    EXPECT_EQ(device_.Codes(), (std::vector<DWORD>{kIoctlGetBaudRate, kIoctlGetLineControl,
                                                   kIoctlGetChars, kIoctlGetHandflow}));
    EXPECT_EQ(dcb.BaudRate, static_cast<DWORD>(CBR_9600));
    EXPECT_EQ(dcb.ByteSize, 8);
    EXPECT_EQ(dcb.fDtrControl, static_cast<DWORD>(DTR_CONTROL_ENABLE));
    EXPECT_EQ(dcb.fRtsControl, static_cast<DWORD>(RTS_CONTROL_ENABLE));
    EXPECT_EQ(dcb.XonChar, 0x11);
}

TEST_F(CommPortTest, SetCommStateReadsFirstThenSetsAsWindowsDoes)
{
    DCB dcb{};
    ASSERT_TRUE(Port().GetState(&dcb));
    device_ = FakeDevice();
    SetUp();
    dcb.BaudRate = CBR_115200;
    dcb.Parity = EVENPARITY;
    dcb.ByteSize = 7;
    ASSERT_TRUE(Port().SetState(&dcb));
    EXPECT_EQ(device_.Codes(),
              (std::vector<DWORD>{kIoctlGetBaudRate, kIoctlGetLineControl, kIoctlGetChars,
                                  kIoctlGetHandflow, kIoctlSetBaudRate, kIoctlSetRts, kIoctlSetDtr,
                                  kIoctlSetLineControl, kIoctlSetChars, kIoctlSetHandflow}));
    EXPECT_EQ(device_.LastInput<SerialBaudRate>(kIoctlSetBaudRate).BaudRate, 115200u);
    const auto line = device_.LastInput<SerialLineControl>(kIoctlSetLineControl);
    EXPECT_EQ(line.Parity, EVENPARITY);
    EXPECT_EQ(line.WordLength, 7);
    // The DCB has no break character: the device's stays.
    EXPECT_EQ(device_.LastInput<SerialChars>(kIoctlSetChars).BreakChar, kDeviceBreakChar);
    EXPECT_EQ(device_.LastInput<SerialHandflow>(kIoctlSetHandflow).ControlHandShake,
              kSerialDtrControl);
}

TEST_F(CommPortTest, SetCommStateLeavesHandshakeLinesToTheDriver)
{
    DCB dcb{};
    ASSERT_TRUE(Port().GetState(&dcb));
    dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
    dcb.fDtrControl = DTR_CONTROL_DISABLE;
    device_ = FakeDevice();
    SetUp();
    ASSERT_TRUE(Port().SetState(&dcb));
    const auto codes = device_.Codes();
    EXPECT_EQ(std::count(codes.begin(), codes.end(), kIoctlSetRts), 0);
    EXPECT_EQ(std::count(codes.begin(), codes.end(), kIoctlClrRts), 0);
    EXPECT_EQ(std::count(codes.begin(), codes.end(), kIoctlClrDtr), 1);
}

TEST_F(CommPortTest, ARefusedSettingPutsTheOldStateBackAndKeepsTheError)
{
    DCB dcb{};
    ASSERT_TRUE(Port().GetState(&dcb));
    dcb.BaudRate = CBR_57600;
    device_ = FakeDevice();
    SetUp();
    device_.FailOn(kIoctlSetLineControl, ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(Port().SetState(&dcb));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    // The second SET_BAUD_RATE restores 9600.
    EXPECT_EQ(device_.LastInput<SerialBaudRate>(kIoctlSetBaudRate).BaudRate, 9600u);
}

TEST_F(CommPortTest, TimeoutsTravelUnchanged)
{
    const COMMTIMEOUTS timeouts{1, 2, 3, 4, 5};
    ASSERT_TRUE(Port().SetTimeouts(&timeouts));
    const auto sent = device_.LastInput<SerialTimeouts>(kIoctlSetTimeouts);
    EXPECT_EQ(sent.ReadIntervalTimeout, 1u);
    EXPECT_EQ(sent.WriteTotalTimeoutConstant, 5u);

    device_.Answer(kIoctlGetTimeouts, SerialTimeouts{10, 20, 30, 40, 50});
    COMMTIMEOUTS read{};
    ASSERT_TRUE(Port().GetTimeouts(&read));
    EXPECT_EQ(read.ReadTotalTimeoutMultiplier, 20u);
    EXPECT_EQ(read.WriteTotalTimeoutMultiplier, 40u);
}

TEST_F(CommPortTest, MasksAndPurgeSendTheirWord)
{
    ASSERT_TRUE(Port().SetMask(EV_RXCHAR | EV_CTS));
    EXPECT_EQ(device_.LastInput<DWORD>(kIoctlSetWaitMask), static_cast<DWORD>(EV_RXCHAR | EV_CTS));
    ASSERT_TRUE(Port().Purge(PURGE_RXCLEAR | PURGE_TXABORT));
    EXPECT_EQ(device_.LastInput<DWORD>(kIoctlPurge),
              static_cast<DWORD>(PURGE_RXCLEAR | PURGE_TXABORT));
    device_.Answer(kIoctlGetWaitMask, DWORD{EV_RING});
    DWORD mask = 0;
    ASSERT_TRUE(Port().GetMask(&mask));
    EXPECT_EQ(mask, static_cast<DWORD>(EV_RING));
}

TEST_F(CommPortTest, WaitCommEventPassesTheOverlappedOn)
{
    device_.Answer(kIoctlWaitOnMask, DWORD{EV_RXCHAR});
    OVERLAPPED overlapped{};
    DWORD mask = 0;
    ASSERT_TRUE(Port().WaitEvent(&mask, &overlapped));
    EXPECT_EQ(mask, static_cast<DWORD>(EV_RXCHAR));
    ASSERT_EQ(device_.Calls().size(), 1u);
    EXPECT_EQ(device_.Calls()[0].Overlapped, &overlapped);
}

TEST_F(CommPortTest, EscapeFunctionsMapToTheirControls)
{
    const std::pair<DWORD, DWORD> escapes[] = {
        {SETXOFF, kIoctlSetXoff},      {SETXON, kIoctlSetXon},       {SETRTS, kIoctlSetRts},
        {CLRRTS, kIoctlClrRts},        {SETDTR, kIoctlSetDtr},       {CLRDTR, kIoctlClrDtr},
        {RESETDEV, kIoctlResetDevice}, {SETBREAK, kIoctlSetBreakOn}, {CLRBREAK, kIoctlSetBreakOff},
    };
    for (const auto& [function, code] : escapes) {
        device_ = FakeDevice();
        ASSERT_TRUE(Port().Escape(function));
        EXPECT_EQ(device_.Codes(), std::vector<DWORD>{code}) << function;
    }
}

TEST_F(CommPortTest, AnUnknownEscapeFunctionIsAnInvalidParameter)
{
    constexpr DWORD kNoSuchFunction = 42;
    EXPECT_FALSE(Port().Escape(kNoSuchFunction));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_TRUE(device_.Calls().empty());
}

TEST_F(CommPortTest, ClearCommErrorTranslatesTheCommStatus)
{
    SerialStatus status{};
    status.Errors = kSerialErrorOverrun;
    status.HoldReasons = kSerialTxWaitingForXon;
    status.AmountInInQueue = 9;
    device_.Answer(kIoctlGetCommStatus, status);
    DWORD errors = 0;
    COMSTAT stat{};
    ASSERT_TRUE(Port().ClearError(&errors, &stat));
    EXPECT_EQ(errors, static_cast<DWORD>(CE_OVERRUN));
    EXPECT_EQ(stat.fXoffHold, 1u);
    EXPECT_EQ(stat.cbInQue, 9u);
    // Both outputs are optional.
    EXPECT_TRUE(Port().ClearError(nullptr, nullptr));
}

TEST_F(CommPortTest, ModemStatusAndQueueSizes)
{
    device_.Answer(kIoctlGetModemStatus, DWORD{MS_CTS_ON | MS_RLSD_ON});
    DWORD modem = 0;
    ASSERT_TRUE(Port().GetModemStatus(&modem));
    EXPECT_EQ(modem, MS_CTS_ON | MS_RLSD_ON);
    ASSERT_TRUE(Port().Setup(4096, 2048));
    const auto sizes = device_.LastInput<SerialQueueSize>(kIoctlSetQueueSize);
    EXPECT_EQ(sizes.InSize, 4096u);
    EXPECT_EQ(sizes.OutSize, 2048u);
}

TEST_F(CommPortTest, AFailingControlFailsTheCallWithItsError)
{
    device_.FailOn(kIoctlGetModemStatus, ERROR_ACCESS_DENIED);
    DWORD modem = 0;
    EXPECT_FALSE(Port().GetModemStatus(&modem));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

}  // namespace
}  // namespace zelwin32
