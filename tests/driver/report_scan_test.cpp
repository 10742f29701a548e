// An endpoint that never opened, and the scan of a module's control stream
// for its reports.
#include "driver_fixture.h"

#include "net/module_control.h"
#include "net/transport.h"

#include <tdi.h>

#include <cstring>
#include <string>

namespace zeltest {
namespace {

using TransportHelpersTest = DriverTest;

TEST_F(TransportHelpersTest, AnEndpointThatNeverOpenedReleasesQuietly)
{
    ConnectionEndpoint endpoint;
    std::memset(&endpoint, 0, sizeof(endpoint));
    endpoint.ReferenceCount = 1;
    ReleaseEndpoint(&endpoint);  // unlinked, no file, no address object
    EXPECT_EQ(endpoint.ReferenceCount, 0);
    EXPECT_EQ(endpoint.Links.Flink, nullptr);
    ReleaseEndpoint(&endpoint);
    EXPECT_EQ(endpoint.ReferenceCount, 0);

    TransportAddressObject address;
    std::memset(&address, 0, sizeof(address));
    ReleaseAddress(&address);
    EXPECT_EQ(address.ReferenceCount, 0);
    ReleaseAddress(nullptr);
    ReferenceAddress(nullptr);
}

// The reports a stream of receives delivers, as "channel:level" in order.
class ReportScan {
public:
    ReportScan() { ForgetPartialReport(&stream_); }

    std::string Feed(const std::string& text)
    {
        std::string found;
        ScanReports(&stream_, reinterpret_cast<const UCHAR*>(text.data()),
                    static_cast<ULONG>(text.size()), Collect, &found);
        return found;
    }

    ReportStream stream_{};

private:
    static void Collect(PVOID Context, const CtsReport& Report)
    {
        auto* found = static_cast<std::string*>(Context);
        *found += std::to_string(Report.ChannelIndex) + ":" + (Report.On ? "on " : "off ");
    }
};

TEST(CtsReportTest, EachFormAloneGivesItsChannelAndLevel)
{
    ReportScan scan;
    EXPECT_EQ(scan.Feed("CTS1 1"), "0:on ");
    EXPECT_EQ(scan.Feed("CTS1x0"), "0:off ");
    EXPECT_EQ(scan.Feed("CTS2 x"), "1:off ") << "any level but 1 is off";
    // Out of range channels come back as they are: 0 is -1, 9 is 8.
    EXPECT_EQ(scan.Feed("CTS0 1"), "-1:on ");
    EXPECT_EQ(scan.Feed("CTS9 1"), "8:on ");
    EXPECT_EQ(scan.Feed("290002010"), "1:on ");
    EXPECT_EQ(scan.Feed("290003000"), "2:off ");
}

TEST(CtsReportTest, ReportsAmongOtherTextAreFoundInOrder)
{
    ReportScan scan;
    EXPECT_EQ(scan.Feed("OK"), "");
    EXPECT_EQ(scan.Feed("OKCTS1 1OK"
                        "290001000"
                        "290001010"
                        "CTS2 1 and more"),
              "0:on 0:off 0:on 1:on ");
    // A tag that breaks off hides the start of the next one.
    EXPECT_EQ(scan.Feed("CCTS1 0"
                        "2290002010"),
              "0:off 1:on ");
}

TEST(CtsReportTest, AReportCutAcrossReceivesIsCompletedByTheNext)
{
    ReportScan scan;
    EXPECT_EQ(scan.Feed("OKC"), "");
    EXPECT_EQ(scan.Feed("TS1"), "");
    EXPECT_EQ(scan.Feed(" 1OK2900"), "0:on ");
    EXPECT_EQ(scan.Feed("0201"), "");
    EXPECT_EQ(scan.Feed("0"), "1:on ");
    // A new connection starts a new stream.
    EXPECT_EQ(scan.Feed("CTS1"), "");
    ForgetPartialReport(&scan.stream_);
    EXPECT_EQ(scan.Feed("TS2 1"), "") << "nothing of the old stream is left";
}

}  // namespace
}  // namespace zeltest
