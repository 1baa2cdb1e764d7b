// The simulated machine's profile calls against the Windows rules that the
// configuration file code relies on.
#include <gtest/gtest.h>

#include <string>

#include "platform/sim/machine.h"
#include "tests/unit/harness.h"

namespace {

const char kPath[] = "C:\\Site\\data\\pelio.ini";

class ProfileTest : public ::testing::Test {
 protected:
  void TearDown() override { ExpectNothingLeftOpen(machine); }
  // Reads QUORTECH/TIMEZONE as the configuration code does; the result is
  // the buffer's text, checked against the count the call returns.
  std::string Read(const char* defaultValue = "") {
    std::string buffer(30, '#');
    const win::DWORD n = win::GetPrivateProfileStringA("QUORTECH", "TIMEZONE", defaultValue, buffer.data(), 30, kPath);
    EXPECT_EQ(buffer.find('\0'), n);
    return buffer.substr(0, n);
  }
  bool Write() { return win::WritePrivateProfileStringA("QUORTECH", "TIMEZONE", "INTL", kPath) != 0; }
  std::string Content() const { return machine.files.ReadFile(kPath).value_or("<missing>"); }

  sim::Machine machine;
};

struct ReadCase {
  const char* name;
  std::string content;
  std::string expected;
};

class ProfileReadTest : public ProfileTest, public ::testing::WithParamInterface<ReadCase> {};

TEST_P(ProfileReadTest, FindsTheValueAndLeavesTheFile) {
  const ReadCase& c = GetParam();
  machine.files.WriteFile(kPath, c.content);
  EXPECT_EQ(Read(), c.expected);
  EXPECT_EQ(Content(), c.content);
}

const std::string kLong(40, 'x');

INSTANTIATE_TEST_SUITE_P(
    Rules, ProfileReadTest,
    ::testing::Values(ReadCase{"NamesWithoutCase", "[quorTech]\r\ntimeZone=Local\r\n", "Local"},
                      ReadCase{"BlanksTrimmed", "  [ QUORTECH ]  \r\n\t TIMEZONE \t=  LOCAL time \t\r\n", "LOCAL time"},
                      ReadCase{"DoubleQuotesRemoved", "[QUORTECH]\r\nTIMEZONE= \"intl\" \r\n", "intl"},
                      ReadCase{"SingleQuotesRemoved", "[QUORTECH]\r\nTIMEZONE='a b'\r\n", "a b"},
                      ReadCase{"OnePairOfQuotesOnly", "[QUORTECH]\r\nTIMEZONE=\"\"A\"\"\r\n", "\"A\""},
                      ReadCase{"UnmatchedQuoteKept", "[QUORTECH]\r\nTIMEZONE=\"INTL\r\n", "\"INTL"},
                      ReadCase{"LongValueCut", "[QUORTECH]\r\nTIMEZONE=" + kLong + "\r\n", kLong.substr(0, 29)},
                      ReadCase{"MissingSection", "[OTHER]\r\nTIMEZONE=LOCAL\r\n", ""},
                      ReadCase{"MissingKey", "[QUORTECH]\r\nZONE=LOCAL\r\n;TIMEZONE=INTL\r\n", ""},
                      ReadCase{"KeyOfNextSectionNotTaken", "[QUORTECH]\r\nA=1\r\n[OTHER]\r\nTIMEZONE=LOCAL\r\n", ""},
                      ReadCase{"OnlyFirstOfDuplicateSections", "[QUORTECH]\r\nA=1\r\n[QUORTECH]\r\nTIMEZONE=LOCAL\r\n",
                               ""},
                      ReadCase{"FirstOfDuplicateKeys", "[QUORTECH]\r\nTIMEZONE=A\r\nTIMEZONE=B\r\n", "A"},
                      ReadCase{"LfFile", "[QUORTECH]\nTIMEZONE=LOCAL\nB=2\n", "LOCAL"},
                      ReadCase{"NoFinalLineEnd", "[QUORTECH]\r\nTIMEZONE=LOCAL", "LOCAL"}),
    kCaseName);

TEST_F(ProfileTest, MissingFileReadsTheDefaultAndIsCreatedByAWrite) {
  machine.files.MakeDirectory("C:\\Site\\data");
  EXPECT_EQ(Read("dflt  "), "dflt");
  EXPECT_TRUE(Write());
  EXPECT_EQ(Content(), "[QUORTECH]\r\nTIMEZONE=INTL\r\n");
  EXPECT_EQ(win::WritePrivateProfileStringA("QUORTECH", "TIMEZONE", "INTL", "C:\\Nowhere\\pelio.ini"), 0);
  EXPECT_EQ(machine.lastError, win::ERROR_PATH_NOT_FOUND);
}

struct WriteCase {
  const char* name;
  std::string before;
  std::string after;
};

class ProfileWriteTest : public ProfileTest, public ::testing::WithParamInterface<WriteCase> {};

TEST_P(ProfileWriteTest, ChangesOnlyTheBytesOfTheEntry) {
  const WriteCase& c = GetParam();
  machine.files.WriteFile(kPath, c.before);
  EXPECT_TRUE(Write());
  EXPECT_EQ(Content(), c.after);
  EXPECT_EQ(Read(), "INTL");
  // A second write of the same value changes nothing more.
  EXPECT_TRUE(Write());
  EXPECT_EQ(Content(), c.after);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, ProfileWriteTest,
    ::testing::Values(
        WriteCase{"ValueReplacedRestKept",
                  "; site\r\n[OTHER]\r\nA = 1 \r\n\r\n[QUORTECH]\r\n  ; note\r\nNAME=Caf\xE9 100%\r\nTimeZone = LOCAL  "
                  "\r\nB=2\r\n\x1A",
                  "; site\r\n[OTHER]\r\nA = 1 \r\n\r\n[QUORTECH]\r\n  ; note\r\nNAME=Caf\xE9 100%\r\nTimeZone =INTL\r\n"
                  "B=2\r\n\x1A"},
        WriteCase{"LfFile", "[QUORTECH]\nTIMEZONE=LOCAL\nB=2\n", "[QUORTECH]\nTIMEZONE=INTL\nB=2\n"},
        WriteCase{"NoFinalLineEnd", "[QUORTECH]\r\nTIMEZONE=LOCAL", "[QUORTECH]\r\nTIMEZONE=INTL"},
        WriteCase{"KeyAfterTheSectionsLastEntry", "[QUORTECH]\r\nA=1\r\n; note\r\n\r\n[OTHER]\r\nB=2\r\n",
                  "[QUORTECH]\r\nA=1\r\n; note\r\nTIMEZONE=INTL\r\n\r\n[OTHER]\r\nB=2\r\n"},
        WriteCase{"KeyInLfFileEndsInCrLf", "[QUORTECH]\nA=1\n", "[QUORTECH]\nA=1\nTIMEZONE=INTL\r\n"},
        WriteCase{"KeyAfterLastLineWithoutLineEnd", "[QUORTECH]\r\nA=1", "[QUORTECH]\r\nA=1\r\nTIMEZONE=INTL\r\n"},
        WriteCase{"FirstOfDuplicateSections", "[QUORTECH]\r\nA=1\r\n[QUORTECH]\r\nTIMEZONE=LOCAL\r\n",
                  "[QUORTECH]\r\nA=1\r\nTIMEZONE=INTL\r\n[QUORTECH]\r\nTIMEZONE=LOCAL\r\n"},
        WriteCase{"SectionAppendedAtTheEnd", "[OTHER]\r\nA=1\r\n\r\n",
                  "[OTHER]\r\nA=1\r\n\r\n[QUORTECH]\r\nTIMEZONE=INTL\r\n"},
        WriteCase{"SectionAfterLastLineWithoutLineEnd", "[OTHER]\nA=1",
                  "[OTHER]\nA=1\r\n[QUORTECH]\r\nTIMEZONE=INTL\r\n"},
        WriteCase{"EmptyFile", "", "[QUORTECH]\r\nTIMEZONE=INTL\r\n"}),
    kCaseName);

}  // namespace
