// Pieces of the line-event classes that no scenario can tell apart: the filter's class GUID, the
// WMI row test and the poll's decision.
#include <windows.h>

#include <gtest/gtest.h>

#include "OstrixComm.h"
#include "OstrixCommWmi.h"

namespace
{

TEST(LineEventUnitTest, TheFilterGuidTextParsesIntoTheGuidFields)
{
    GUID guid;
    ASSERT_TRUE(COstrixComm::GuidFromText(OSTRIX_PORTS_CLASS_GUID_TEXT, &guid));
    // {4D36E978-E325-11CE-BFC1-08002BE10318}, the Ports class.
    const GUID ports = {0x4D36E978, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
    EXPECT_EQ(memcmp(&guid, &ports, sizeof(GUID)), 0);
    EXPECT_FALSE(COstrixComm::GuidFromText("4d36e978e32511cebfc108002be1031", &guid)); // 31 digits
    EXPECT_FALSE(COstrixComm::GuidFromText("4d36e978e32511cebfc108002be1031g", &guid));
    EXPECT_FALSE(COstrixComm::GuidFromText(NULL, &guid));
}

TEST(LineEventUnitTest, AWmiRowIsThePortWhenItsCaptionEndsInTheNameFromItsFirstCom)
{
    struct Case
    {
        const char* name;
        const char* id;
        const char* caption;
        const char* port;
        BOOL matches;
    };
    const Case cases[] = {
        {"a reader", "USB\\VID_2B4E&PID_0730\\TR0001", "TARNO USB Card Reader (COM5)", "COM5", TRUE},
        {"the id in lower case", "usb\\vid_2b4e&pid_0730\\1", "Reader (COM5)", "COM5", TRUE},
        {"not a USB device", "ACPI\\PNP0501\\1", "Communications Port (COM5)", "COM5", FALSE},
        {"COM before the port", "USB\\VID_1\\1", "COMPORT (COM5)", "COM5", FALSE},
        {"another number", "USB\\VID_1\\1", "Reader (COM50)", "COM5", FALSE},
        {"no COM at all", "USB\\VID_1\\1", "USB Root Hub (USB 3.0)", "COM5", FALSE},
        {"case matters", "USB\\VID_1\\1", "Reader (COM5)", "com5", FALSE},
        {"every parenthesis goes", "USB\\VID_1\\1", "Reader (COM5))", "COM5", TRUE},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(COstrixCommWmi::RowMatchesPort(c.id, c.caption, c.port), c.matches);
    }
}

TEST(LineEventUnitTest, APollReportsOnlyChangesAfterTheFirstAndOnlyThoseTheMaskAsksFor)
{
    struct Case
    {
        const char* name;
        LONG firstPoll;
        LONG previous;
        LONG now;
        LONG mask;
        LONG event;
    };
    const Case cases[] = {
        {"the first poll is silent", 1, 0, 1, 3, 0},
        {"arrival", 0, 0, 1, 3, EVT_USB_ONLINE},
        {"removal", 0, 1, 0, 3, EVT_USB_OFFLINE},
        {"no change", 0, 1, 1, 3, 0},
        {"arrival outside the mask", 0, 0, 1, EVT_USB_OFFLINE, 0},
        {"removal outside the mask", 0, 1, 0, EVT_USB_ONLINE, 0},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        COstrixCommWmi::POLL_STATE state = {c.firstPoll, c.previous, c.now};
        EXPECT_EQ(COstrixCommWmi::DecidePoll(&state, c.mask), c.event);
        EXPECT_EQ(state.bFirstPoll, 0);
        EXPECT_EQ(state.iPrevOnLine, c.now);
    }
}

} // namespace
