// The DCB against the serial structures, and SERIAL_STATUS against
// ClearCommError's errors and COMSTAT.
#include "dcb_translation.h"

#include <gtest/gtest.h>

namespace zelwin32 {
namespace {

constexpr BYTE kBreakChar = 0x7E;

DCB TypicalDcb()
{
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    dcb.BaudRate = CBR_115200;
    dcb.fBinary = TRUE;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    dcb.XonLim = 2048;
    dcb.XoffLim = 512;
    return dcb;
}

TEST(DcbTranslationTest, LineSettingsAndCharactersGoAcrossFieldByField)
{
    DCB dcb = TypicalDcb();
    dcb.ByteSize = 7;
    dcb.Parity = EVENPARITY;
    dcb.StopBits = TWOSTOPBITS;
    dcb.EofChar = 0x1A;
    dcb.ErrorChar = '?';
    dcb.EvtChar = '\n';
    const SerialSettings s = SettingsFromDcb(dcb, kBreakChar);
    EXPECT_EQ(s.Baud.BaudRate, 115200u);
    EXPECT_EQ(s.Line.WordLength, 7);
    EXPECT_EQ(s.Line.Parity, 2);
    EXPECT_EQ(s.Line.StopBits, 2);
    EXPECT_EQ(s.Chars.EofChar, 0x1A);
    EXPECT_EQ(s.Chars.ErrorChar, '?');
    EXPECT_EQ(s.Chars.BreakChar, kBreakChar);
    EXPECT_EQ(s.Chars.EventChar, '\n');
    EXPECT_EQ(s.Chars.XonChar, 0x11);
    EXPECT_EQ(s.Chars.XoffChar, 0x13);
    EXPECT_EQ(s.Handflow.XonLimit, 2048);
    EXPECT_EQ(s.Handflow.XoffLimit, 512);
}

TEST(DcbTranslationTest, HardwareHandshakeBecomesHandshakeBits)
{
    DCB dcb = TypicalDcb();
    dcb.fOutxCtsFlow = TRUE;
    dcb.fOutxDsrFlow = TRUE;
    dcb.fDsrSensitivity = TRUE;
    dcb.fAbortOnError = TRUE;
    dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;
    dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
    const SerialSettings s = SettingsFromDcb(dcb, 0);
    EXPECT_EQ(s.Handflow.ControlHandShake, kSerialDtrHandshake | kSerialCtsHandshake |
                                               kSerialDsrHandshake | kSerialDsrSensitivity |
                                               kSerialErrorAbort);
    EXPECT_EQ(s.Handflow.FlowReplace, kSerialRtsHandshake);
}

TEST(DcbTranslationTest, SoftwareFlowAndReplacementBecomeFlowReplaceBits)
{
    DCB dcb = TypicalDcb();
    dcb.fRtsControl = RTS_CONTROL_TOGGLE;
    dcb.fOutX = TRUE;
    dcb.fInX = TRUE;
    dcb.fErrorChar = TRUE;
    dcb.fNull = TRUE;
    dcb.fTXContinueOnXoff = TRUE;
    const SerialSettings s = SettingsFromDcb(dcb, 0);
    EXPECT_EQ(s.Handflow.FlowReplace, kSerialTransmitToggle | kSerialAutoTransmit |
                                          kSerialAutoReceive | kSerialErrorChar |
                                          kSerialNullStripping | kSerialXoffContinue);
}

// Every flag combination survives the trip to the serial structures and back.
TEST(DcbTranslationTest, SettingsRoundTripToTheSameDcb)
{
    for (DWORD dtr : {DTR_CONTROL_DISABLE, DTR_CONTROL_ENABLE, DTR_CONTROL_HANDSHAKE}) {
        for (DWORD rts :
             {RTS_CONTROL_DISABLE, RTS_CONTROL_ENABLE, RTS_CONTROL_HANDSHAKE, RTS_CONTROL_TOGGLE}) {
            DCB dcb = TypicalDcb();
            dcb.fDtrControl = dtr;
            dcb.fRtsControl = rts;
            dcb.fOutxCtsFlow = rts == RTS_CONTROL_HANDSHAKE;
            dcb.fOutX = dtr == DTR_CONTROL_ENABLE;
            dcb.fTXContinueOnXoff = rts == RTS_CONTROL_TOGGLE;
            const DCB back = DcbFromSettings(SettingsFromDcb(dcb, 0));
            EXPECT_EQ(back.fDtrControl, dtr);
            EXPECT_EQ(back.fRtsControl, rts);
            EXPECT_EQ(back.fOutxCtsFlow, dcb.fOutxCtsFlow);
            EXPECT_EQ(back.fOutX, dcb.fOutX);
            EXPECT_EQ(back.fTXContinueOnXoff, dcb.fTXContinueOnXoff);
            EXPECT_EQ(back.BaudRate, dcb.BaudRate);
            EXPECT_EQ(back.XonLim, dcb.XonLim);
            EXPECT_EQ(back.XoffLim, dcb.XoffLim);
        }
    }
}

TEST(DcbTranslationTest, ReadBackDcbIsBinaryWithItsOwnLength)
{
    SerialSettings settings;
    settings.Line.Parity = ODDPARITY;
    const DCB dcb = DcbFromSettings(settings);
    EXPECT_EQ(dcb.DCBlength, sizeof(DCB));
    EXPECT_EQ(dcb.fBinary, 1u);
    EXPECT_EQ(dcb.fParity, 1u);
    EXPECT_EQ(dcb.Parity, ODDPARITY);
}

TEST(DcbTranslationTest, SerialErrorsBecomeCommErrors)
{
    SerialStatus status{};
    status.Errors = kSerialErrorBreak | kSerialErrorFraming | kSerialErrorOverrun |
                    kSerialErrorQueueOverrun | kSerialErrorParity;
    EXPECT_EQ(CommErrorsFromStatus(status),
              static_cast<DWORD>(CE_BREAK | CE_FRAME | CE_OVERRUN | CE_RXOVER | CE_RXPARITY));
}

TEST(DcbTranslationTest, HoldReasonsAndQueuesBecomeComstat)
{
    SerialStatus status{};
    status.HoldReasons = kSerialTxWaitingForCts | kSerialTxWaitingForDcd | kSerialTxWaitingXoffSent;
    status.AmountInInQueue = 17;
    status.AmountInOutQueue = 3;
    status.EofReceived = TRUE;
    const COMSTAT stat = ComStatFromStatus(status);
    EXPECT_EQ(stat.fCtsHold, 1u);
    EXPECT_EQ(stat.fDsrHold, 0u);
    EXPECT_EQ(stat.fRlsdHold, 1u);
    EXPECT_EQ(stat.fXoffHold, 0u);
    EXPECT_EQ(stat.fXoffSent, 1u);
    EXPECT_EQ(stat.fEof, 1u);
    EXPECT_EQ(stat.fTxim, 0u);
    EXPECT_EQ(stat.cbInQue, 17u);
    EXPECT_EQ(stat.cbOutQue, 3u);
}

}  // namespace
}  // namespace zelwin32
