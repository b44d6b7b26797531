// The hardware-ID pattern match of the device reload: no scenario has devices with enough IDs to
// tell its rules apart.
#include <windows.h>

#include <gtest/gtest.h>

#include "DeviceReload.h"

namespace
{

TEST(DeviceReloadUnitTest, IdPatternsMatchAsTheirStarsAllow)
{
    struct Case
    {
        const char* id;
        const char* pattern;
        BOOL matches;
    };
    const Case cases[] = {
        // Without a star: the whole ID, any case.
        {"USB\\VID_2B4E&PID_0730", "USB\\VID_2B4E&PID_0730", TRUE},
        {"USB\\VID_2B4E&PID_0730", "usb\\vid_2b4e&pid_0730", TRUE},
        {"USB\\VID_2B4E&PID_0730&REV_0100", "USB\\VID_2B4E&PID_0730", FALSE},
        {"USB\\VID_2B4E&PID_073", "USB\\VID_2B4E&PID_0730", FALSE},
        {"USB\\VID_2B4E&PID_", "USB\\VID_2B4E&PID_", TRUE},
        // A star at the end takes any rest, none too.
        {"USB\\VID_2B4E&PID_0730&REV_0100", "USB\\VID_2B4E&PID_*", TRUE},
        {"USB\\VID_2B4E&PID_", "USB\\VID_2B4E&PID_*", TRUE},
        {"USB\\VID_2B4F&PID_0730", "USB\\VID_2B4E&PID_*", FALSE},
        {"USB\\VID_2B4E", "USB\\VID_2B4E&PID_*", FALSE},
        // A segment after the last star is the end of the ID.
        {"USB\\VID_2B4E&PID_0730", "USB\\VID_2B4E&PID_*30", TRUE},
        {"USB\\VID_2B4E&PID_0730&REV_0100", "USB\\VID_2B4E&PID_*30", FALSE},
        {"USB\\VID_2B4E&PID_0730", "USB\\VID_2B4E&PID_07*", TRUE},
        // The end segment may not reuse what the prefix matched.
        {"USB\\VID_2B4E&PID_", "USB\\VID_2B4E&PID_*PID_", FALSE},
        // Segments between stars are found left to right.
        {"USB\\VID_2B4E&PID_0730&MI_01", "USB\\VID_2B4E&PID_*7*&mi_01", TRUE},
        {"USB\\VID_2B4E&PID_0730&MI_01", "USB\\VID_2B4E&PID_*&MI*07", FALSE},
        {"USB\\VID_2B4E&PID_0730", "USB\\VID_2B4E&PID_**", TRUE},
        {"USB\\VID_2B4E&PID_0730", "USB\\VID_2B4E&PID_*0*0*", TRUE},
        {"USB\\VID_2B4E&PID_0730", "USB\\VID_2B4E&PID_*0*0*0*", FALSE},
        // A star in the middle of the product ID.
        {"USB\\VID_2B4E&PID_0730", "USB\\VID_2B4E&PID_0*0", TRUE},
        {"USB\\VID_2B4E&PID_0731", "USB\\VID_2B4E&PID_0*0", FALSE},
    };
    for (const Case& c : cases)
    {
        EXPECT_EQ(MatchIdPattern(c.id, c.pattern), c.matches) << c.id << " against " << c.pattern;
    }
}

} // namespace
