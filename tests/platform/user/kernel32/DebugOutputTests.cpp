// Debugger output and its listener.
#include <windows.h>
#include <winsim/user.h>

#include "machine/DebugOutputListener.h"

#include <gtest/gtest.h>

#include "TestSupport.h"

namespace
{

TEST(DebugOutputTest, ListenerReceivesEachStringWithItsProcessId)
{
    winsim::machine::DebugOutputListener listener;
    ASSERT_TRUE(listener.Listening());
    OutputDebugStringA("first line\n");
    OutputDebugStringA("second");
    testsupport::TempDir dir;
    testsupport::RunResult r = testsupport::Run({USER_TEST_CHILD, "debug", "from the child\n"}, dir.Path());
    ASSERT_EQ(r.output, "sent\n");
    std::vector<winsim::machine::DebugOutputListener::Message> messages = listener.Collect();
    ASSERT_EQ(messages.size(), 3u);
    EXPECT_EQ(messages[0].text, "first line\n");
    EXPECT_EQ(messages[0].processId, GetCurrentProcessId());
    EXPECT_EQ(messages[1].text, "second");
    EXPECT_EQ(messages[2].text, "from the child\n");
    EXPECT_NE(messages[2].processId, GetCurrentProcessId());
}

TEST(DebugOutputTest, OnlyOneListenerPerMachineAndNothingIsKeptWithoutOne)
{
    OutputDebugStringA("nobody listens");
    winsim::machine::DebugOutputListener listener;
    ASSERT_TRUE(listener.Listening());
    winsim::machine::DebugOutputListener second;
    EXPECT_FALSE(second.Listening());
    EXPECT_TRUE(second.Collect().empty());
    OutputDebugStringA("heard");
    std::vector<winsim::machine::DebugOutputListener::Message> messages = listener.Collect();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].text, "heard");
}

TEST(DebugOutputTest, LongStringsArriveInPiecesOf4095Bytes)
{
    winsim::machine::DebugOutputListener listener;
    std::string text(5000, 'x');
    text[4094] = 'A';
    text[4095] = 'B';
    OutputDebugStringA(text.c_str());
    std::vector<winsim::machine::DebugOutputListener::Message> messages = listener.Collect();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0].text.size(), 4095u);
    EXPECT_EQ(messages[0].text.back(), 'A');
    EXPECT_EQ(messages[1].text.size(), 905u);
    EXPECT_EQ(messages[1].text.front(), 'B');
}

TEST(DebugOutputTest, ManyMessagesFromAnotherProcessAreAllReceivedInOrder)
{
    winsim::machine::DebugOutputListener listener;
    for (int i = 0; i < 300; ++i)
    {
        OutputDebugStringA(std::to_string(i).c_str());
    }
    std::vector<winsim::machine::DebugOutputListener::Message> messages = listener.Collect();
    ASSERT_EQ(messages.size(), 300u);
    for (int i = 0; i < 300; ++i)
    {
        EXPECT_EQ(messages[static_cast<size_t>(i)].text, std::to_string(i));
    }
}

} // namespace
