// The DCB against the serial structures, and SERIAL_STATUS against
// ClearCommError's errors and COMSTAT.
#include "dcb_translation.h"

#include <gtest/gtest.h>

namespace zelwin32 {
namespace {

TEST(DcbTranslationTest, FieldsAndFlagsBecomeTheSerialStructures)
{
    constexpr BYTE kBreakChar = 0x7E;
    DCB dcb{};
    dcb.Parity = EVENPARITY;
    dcb.StopBits = TWOSTOPBITS;
    dcb.fOutxCtsFlow = dcb.fOutxDsrFlow = dcb.fDsrSensitivity = dcb.fAbortOnError = TRUE;
    dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;
    dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
    SerialSettings s = SettingsFromDcb(dcb, kBreakChar);
    EXPECT_EQ(s.Line.Parity, 2);
    EXPECT_EQ(s.Line.StopBits, 2);
    EXPECT_EQ(s.Chars.BreakChar, kBreakChar);
    EXPECT_EQ(s.Handflow.ControlHandShake, kSerialDtrHandshake | kSerialCtsHandshake |
                                               kSerialDsrHandshake | kSerialDsrSensitivity |
                                               kSerialErrorAbort);
    EXPECT_EQ(s.Handflow.FlowReplace, kSerialRtsHandshake);

    dcb = DCB{};
    dcb.fRtsControl = RTS_CONTROL_TOGGLE;
    dcb.fOutX = dcb.fInX = dcb.fErrorChar = dcb.fNull = dcb.fTXContinueOnXoff = TRUE;
    s = SettingsFromDcb(dcb, 0);
    EXPECT_EQ(s.Handflow.FlowReplace, kSerialTransmitToggle | kSerialAutoTransmit |
                                          kSerialAutoReceive | kSerialErrorChar |
                                          kSerialNullStripping | kSerialXoffContinue);
}

// Every line control combination survives the trip to the serial structures
// and back, and the DCB read back is binary, with its own length.
TEST(DcbTranslationTest, SettingsRoundTripToTheSameDcb)
{
    for (DWORD dtr : {DTR_CONTROL_DISABLE, DTR_CONTROL_ENABLE, DTR_CONTROL_HANDSHAKE}) {
        for (DWORD rts :
             {RTS_CONTROL_DISABLE, RTS_CONTROL_ENABLE, RTS_CONTROL_HANDSHAKE, RTS_CONTROL_TOGGLE}) {
            DCB dcb{};
            dcb.fDtrControl = dtr;
            dcb.fRtsControl = rts;
            dcb.fOutxCtsFlow = rts == RTS_CONTROL_HANDSHAKE;
            dcb.fOutX = dtr == DTR_CONTROL_ENABLE;
            dcb.fTXContinueOnXoff = rts == RTS_CONTROL_TOGGLE;
            dcb.Parity = dtr == DTR_CONTROL_DISABLE ? ODDPARITY : NOPARITY;
            const DCB back = DcbFromSettings(SettingsFromDcb(dcb, 0));
            EXPECT_EQ(back.fDtrControl, dtr);
            EXPECT_EQ(back.fRtsControl, rts);
            EXPECT_EQ(back.fOutxCtsFlow, dcb.fOutxCtsFlow);
            EXPECT_EQ(back.fOutX, dcb.fOutX);
            EXPECT_EQ(back.fTXContinueOnXoff, dcb.fTXContinueOnXoff);
            EXPECT_EQ(back.Parity, dcb.Parity);
            EXPECT_EQ(back.fParity, dcb.Parity != NOPARITY ? 1u : 0u);
            EXPECT_EQ(back.DCBlength, sizeof(DCB));
            EXPECT_EQ(back.fBinary, 1u);
        }
    }
}

TEST(DcbTranslationTest, SerialStatusBecomesCommErrorsAndComstat)
{
    SerialStatus status{};
    status.Errors = kSerialErrorBreak | kSerialErrorFraming | kSerialErrorOverrun |
                    kSerialErrorQueueOverrun | kSerialErrorParity;
    EXPECT_EQ(CommErrorsFromStatus(status),
              static_cast<DWORD>(CE_BREAK | CE_FRAME | CE_OVERRUN | CE_RXOVER | CE_RXPARITY));

    status.HoldReasons = kSerialTxWaitingForDcd | kSerialTxWaitingXoffSent;
    status.AmountInOutQueue = 3;
    const COMSTAT stat = ComStatFromStatus(status);
    EXPECT_EQ(stat.fCtsHold, 0u);
    EXPECT_EQ(stat.fRlsdHold, 1u);
    EXPECT_EQ(stat.fXoffSent, 1u);
    EXPECT_EQ(stat.cbOutQue, 3u);
    status.HoldReasons = kSerialTxWaitingForXon;
    EXPECT_EQ(ComStatFromStatus(status).fXoffHold, 1u);
}

}  // namespace
}  // namespace zelwin32
