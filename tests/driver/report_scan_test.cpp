// The scan of a module's control stream for its reports.
#include "driver_fixture.h"

#include "net/module_control.h"

#include <string>

namespace zeltest {
namespace {

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
    // A report cut across receives is completed by the next, unless a new
    // connection began a new stream in between.
    EXPECT_EQ(scan.Feed("OKC"), "");
    EXPECT_EQ(scan.Feed("TS1 1"), "0:on ");
    EXPECT_EQ(scan.Feed("CTS1"), "");
    ForgetPartialReport(&scan.stream_);
    EXPECT_EQ(scan.Feed("TS2 1"), "");
}

}  // namespace
}  // namespace zeltest
