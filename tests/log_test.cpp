// The repair log's byte layout.
#include "harness.h"

#include <fcntl.h>
#include <unistd.h>

#include "log/text.h"

using namespace harness;

namespace {

class RepairLog : public PlatformTest {
protected:
    void SetUp() override
    {
        PlatformTest::SetUp();
        strcpy(LogFilePath, kLogPath);
    }
};

TEST_F(RepairLog, EachEntryStandsTwiceWithCrLfLineEnds)
{
    WriteLogLine("A");
    WriteLogLine("B");
    EXPECT_EQ(LogBytes(), "A\r\n\r\nA\r\nB\r\n\r\nB\r\n");
}

TEST_F(RepairLog, MessagesAreTakenLiterally)
{
    WriteLogLine("100% %s %d");
    WriteLogLine("");
    WriteLogLine("one\ntwo\r\nthree");
    EXPECT_EQ(LogBytes(), "100% %s %d\r\n\r\n100% %s %d\r\n"
                          "\r\n\r\n\r\n"
                          "one\r\ntwo\r\r\nthree\r\n\r\none\r\ntwo\r\r\nthree\r\n");
}

// A message may hold what looks like the end of its entry: "\n\n" and its
// own beginning after it. The log still reads back as the messages written.
TEST_F(RepairLog, ALogReadsBackAsItsMessagesWhateverTheyHold)
{
    const std::vector<std::string> written = {"J\n\nJ", "J", "", "\n", "J\n\nJ\n\nJ"};
    for (const std::string &m : written)
        WriteLogLine(m.c_str());
    std::vector<std::string> messages;
    ASSERT_TRUE(readback::Parse(LogBytes(), &messages));
    EXPECT_EQ(messages, written);
    EXPECT_FALSE(readback::Parse(LogBytes() + "J\r\n", &messages));
}

TEST_F(RepairLog, AnExistingLogIsAppendedTo)
{
    memplat::PutFile(kLogPath, "old");
    WriteLogLine("new");
    EXPECT_EQ(LogBytes(), "old" + Entry("new"));
}

TEST_F(RepairLog, AMessageLongerThanTheWriterHoldsIsCut)
{
    std::string huge(5000, 'm');
    WriteLogLine(huge.c_str());
    EXPECT_EQ(LogBytes(), Entry(std::string(kLogMessageMax, 'm')));

    memplat::Reset();
    std::string feeds(kLogMessageMax, '\n');
    WriteLogLine(feeds.c_str());
    EXPECT_EQ(LogBytes(), Entry(feeds));
}

TEST_F(RepairLog, WithoutATempFolderOrALogPathNothingIsWritten)
{
    memplat::RemoveFolder("C:\\WINDOWS\\Temp");
    WriteLogLine("lost");
    EXPECT_EQ(LogBytes(), "<no log>");

    memplat::Reset();
    LogFilePath[0] = '\0';
    WriteLogLine("off");
    EXPECT_EQ(LogBytes(), "<no log>");
}

TEST_F(RepairLog, StandardErrorIsLeftToTheProcess)
{
    int before = fcntl(2, F_GETFD);
    WriteLogLine("A");
    EXPECT_EQ(fcntl(2, F_GETFD), before);
    EXPECT_EQ(LogBytes(), Entry("A"));
}

TEST(Text, FormattingSubstitutesOnlyTheGivenStringsAndNeverOverruns)
{
    char out[16];
    FormatText(out, sizeof out, "Fail - %s!", "x");
    EXPECT_STREQ(out, "Fail - x!");
    FormatText(out, sizeof out, "%s %s %s %d", "1", "%s");
    EXPECT_STREQ(out, "1 %s  %d");
    FormatText(out, sizeof out, "Fail - Missing %s", "averyveryverylongname");
    EXPECT_STREQ(out, "Fail - Missing ");
    EXPECT_EQ(strlen(out), 15u);

    char path[8] = "abc";
    EXPECT_FALSE(AppendText(path, sizeof path, "defgh"));
    EXPECT_STREQ(path, "abc");
    EXPECT_TRUE(AppendText(path, sizeof path, "defg"));
    EXPECT_STREQ(path, "abcdefg");
    EXPECT_FALSE(CopyText(path, sizeof path, "12345678"));
    EXPECT_STREQ(path, "");
}

} // namespace
