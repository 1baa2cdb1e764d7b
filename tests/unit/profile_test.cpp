// The simulated machine's profile calls against the Windows rules that the
// configuration file code relies on.
#include <gtest/gtest.h>

#include <string>

#include "platform/sim/machine.h"

namespace {

const char kPath[] = "C:\\Site\\data\\pelio.ini";

class ProfileTest : public ::testing::Test {
 protected:
  void TearDown() override {
    EXPECT_TRUE(machine.handles.Open().empty());
    EXPECT_EQ(machine.modules.TotalLoads(), 0);
  }
  // Reads QUORTECH/TIMEZONE as the configuration code does; the result is
  // the buffer's text, checked against the count the call returns.
  std::string Read(win::DWORD size = 30, const char* defaultValue = "") {
    std::string buffer(size, '#');
    const win::DWORD n =
        win::GetPrivateProfileStringA("QUORTECH", "TIMEZONE", defaultValue, buffer.data(), size, kPath);
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
  win::DWORD size = 30;
};

void PrintTo(const ReadCase& c, std::ostream* os) { *os << c.name; }

class ProfileReadTest : public ProfileTest, public ::testing::WithParamInterface<ReadCase> {};

TEST_P(ProfileReadTest, FindsTheValueAndLeavesTheFile) {
  const ReadCase& c = GetParam();
  machine.files.WriteFile(kPath, c.content);
  EXPECT_EQ(Read(c.size), c.expected);
  EXPECT_EQ(Content(), c.content);
}

const std::string kLong(40, 'x');

INSTANTIATE_TEST_SUITE_P(
    Rules, ProfileReadTest,
    ::testing::Values(ReadCase{"Plain", "[QUORTECH]\r\nTIMEZONE=INTL\r\n", "INTL"},
                      ReadCase{"NamesWithoutCase", "[quorTech]\r\ntimeZone=Local\r\n", "Local"},
                      ReadCase{"BlanksTrimmed", "  [ QUORTECH ]  \r\n\t TIMEZONE \t=  LOCAL time \t\r\n", "LOCAL time"},
                      ReadCase{"DoubleQuotesRemoved", "[QUORTECH]\r\nTIMEZONE= \"intl\" \r\n", "intl"},
                      ReadCase{"SingleQuotesRemoved", "[QUORTECH]\r\nTIMEZONE='a b'\r\n", "a b"},
                      ReadCase{"OnePairOfQuotesOnly", "[QUORTECH]\r\nTIMEZONE=\"\"A\"\"\r\n", "\"A\""},
                      ReadCase{"UnmatchedQuoteKept", "[QUORTECH]\r\nTIMEZONE=\"INTL\r\n", "\"INTL"},
                      ReadCase{"LongValueCut", "[QUORTECH]\r\nTIMEZONE=" + kLong + "\r\n", kLong.substr(0, 29)},
                      ReadCase{"SmallBuffer", "[QUORTECH]\r\nTIMEZONE=INTL\r\n", "I", 2},
                      ReadCase{"EqualsInValue", "[QUORTECH]\r\nTIMEZONE=a=b\r\n", "a=b"},
                      ReadCase{"MissingSection", "[OTHER]\r\nTIMEZONE=LOCAL\r\n", ""},
                      ReadCase{"MissingKey", "[QUORTECH]\r\nZONE=LOCAL\r\n", ""},
                      ReadCase{"KeyOfNextSectionNotTaken", "[QUORTECH]\r\nA=1\r\n[OTHER]\r\nTIMEZONE=LOCAL\r\n", ""},
                      ReadCase{"EntryBeforeAnySection", "TIMEZONE=LOCAL\r\n[QUORTECH]\r\n", ""},
                      ReadCase{"OnlyFirstOfDuplicateSections", "[QUORTECH]\r\nA=1\r\n[QUORTECH]\r\nTIMEZONE=LOCAL\r\n",
                               ""},
                      ReadCase{"FirstOfDuplicateKeys", "[QUORTECH]\r\nTIMEZONE=A\r\nTIMEZONE=B\r\n", "A"},
                      ReadCase{"CommentIsNoEntry", "[QUORTECH]\r\n;TIMEZONE=INTL\r\n", ""},
                      ReadCase{"LfFile", "[QUORTECH]\nTIMEZONE=LOCAL\nB=2\n", "LOCAL"},
                      ReadCase{"NoFinalLineEnd", "[QUORTECH]\r\nTIMEZONE=LOCAL", "LOCAL"}),
    [](const auto& info) { return std::string(info.param.name); });

enum class Obstacle {
  None,
  Missing,
  MissingFolder,
  HeldWithoutSharing,
  HeldSharingRead,
  ReadOnly,
  Directory,
  DiskFull
};

struct ObstacleCase {
  const char* name;
  Obstacle obstacle;
  std::string read;       // what a read gives (default "dflt")
  win::DWORD writeError;  // 0: the write succeeds
};

void PrintTo(const ObstacleCase& c, std::ostream* os) { *os << c.name; }

class ProfileObstacleTest : public ProfileTest, public ::testing::WithParamInterface<ObstacleCase> {};

TEST_P(ProfileObstacleTest, ReadsDefaultAndRefusesWritesAsWindowsDoes) {
  const ObstacleCase& c = GetParam();
  const std::string before = "[QUORTECH]\r\nTIMEZONE=LOCAL\r\n";
  switch (c.obstacle) {
    case Obstacle::Missing:
      machine.files.MakeDirectory("C:\\Site\\data");
      break;
    case Obstacle::MissingFolder:
      break;
    case Obstacle::Directory:
      machine.files.MakeDirectory(kPath);
      break;
    default:
      machine.files.WriteFile(kPath, before);
      break;
  }
  if (c.obstacle == Obstacle::HeldWithoutSharing) {
    machine.files.HoldOpen(kPath, win::GENERIC_READ | win::GENERIC_WRITE, 0);
  }
  if (c.obstacle == Obstacle::HeldSharingRead) {
    machine.files.HoldOpen(kPath, win::GENERIC_READ, win::FILE_SHARE_READ);
  }
  if (c.obstacle == Obstacle::ReadOnly) {
    machine.files.SetReadOnly(kPath, true);
  }
  if (c.obstacle == Obstacle::DiskFull) {
    machine.files.FailWrites(kPath, win::ERROR_DISK_FULL);
  }
  EXPECT_EQ(Read(30, "dflt  "), c.read);
  const std::string unchanged = Content();
  machine.lastError = 0;
  EXPECT_EQ(Write(), c.writeError == 0);
  if (c.writeError != 0) {
    EXPECT_EQ(machine.lastError, c.writeError);
    EXPECT_EQ(Content(), unchanged);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Obstacles, ProfileObstacleTest,
    ::testing::Values(
        ObstacleCase{"Readable", Obstacle::None, "LOCAL", 0},
        ObstacleCase{"MissingFileIsCreatedByAWrite", Obstacle::Missing, "dflt", 0},
        ObstacleCase{"MissingFolder", Obstacle::MissingFolder, "dflt", win::ERROR_PATH_NOT_FOUND},
        ObstacleCase{"HeldWithoutSharing", Obstacle::HeldWithoutSharing, "dflt", win::ERROR_SHARING_VIOLATION},
        ObstacleCase{"HeldSharingReadOnly", Obstacle::HeldSharingRead, "LOCAL", win::ERROR_SHARING_VIOLATION},
        ObstacleCase{"ReadOnly", Obstacle::ReadOnly, "LOCAL", win::ERROR_ACCESS_DENIED},
        ObstacleCase{"DirectoryAtThePath", Obstacle::Directory, "dflt", win::ERROR_ACCESS_DENIED},
        ObstacleCase{"DiskFull", Obstacle::DiskFull, "LOCAL", win::ERROR_DISK_FULL}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ProfileTest, WriteCreatesAMissingFile) {
  machine.files.MakeDirectory("C:\\Site\\data");
  EXPECT_TRUE(Write());
  EXPECT_EQ(Content(), "[QUORTECH]\r\nTIMEZONE=INTL\r\n");
}

struct WriteCase {
  const char* name;
  std::string before;
  std::string after;
};

void PrintTo(const WriteCase& c, std::ostream* os) { *os << c.name; }

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
        WriteCase{
            "ValueReplacedRestKept",
            "; site settings\r\n[OTHER]\r\nA = 1 \r\n\r\n[QUORTECH]\r\n  ; comment\r\nTimeZone = LOCAL  \r\nB=2\r\n",
            "; site settings\r\n[OTHER]\r\nA = 1 \r\n\r\n[QUORTECH]\r\n  ; comment\r\nTimeZone =INTL\r\nB=2\r\n"},
        WriteCase{"LfFile", "[QUORTECH]\nTIMEZONE=LOCAL\nB=2\n", "[QUORTECH]\nTIMEZONE=INTL\nB=2\n"},
        WriteCase{"NoFinalLineEnd", "[QUORTECH]\r\nTIMEZONE=LOCAL", "[QUORTECH]\r\nTIMEZONE=INTL"},
        WriteCase{"OtherBytesKeptAsTheyAre", "[QUORTECH]\r\nNAME=Caf\xE9 100%\r\nTIMEZONE=\r\n\x1A",
                  "[QUORTECH]\r\nNAME=Caf\xE9 100%\r\nTIMEZONE=INTL\r\n\x1A"},
        WriteCase{"KeyAfterTheSectionsLastEntry", "[QUORTECH]\r\nA=1\r\n; note\r\n\r\n[OTHER]\r\nB=2\r\n",
                  "[QUORTECH]\r\nA=1\r\n; note\r\nTIMEZONE=INTL\r\n\r\n[OTHER]\r\nB=2\r\n"},
        WriteCase{"KeyInEmptySection", "[QUORTECH]\r\n\r\n[OTHER]\r\n",
                  "[QUORTECH]\r\nTIMEZONE=INTL\r\n\r\n[OTHER]\r\n"},
        WriteCase{"KeyInLfFileEndsInCrLf", "[QUORTECH]\nA=1\n", "[QUORTECH]\nA=1\nTIMEZONE=INTL\r\n"},
        WriteCase{"KeyAfterLastLineWithoutLineEnd", "[QUORTECH]\r\nA=1", "[QUORTECH]\r\nA=1\r\nTIMEZONE=INTL\r\n"},
        WriteCase{"FirstOfDuplicateSections", "[QUORTECH]\r\nA=1\r\n[QUORTECH]\r\nTIMEZONE=LOCAL\r\n",
                  "[QUORTECH]\r\nA=1\r\nTIMEZONE=INTL\r\n[QUORTECH]\r\nTIMEZONE=LOCAL\r\n"},
        WriteCase{"SectionAppendedAtTheEnd", "[OTHER]\r\nA=1\r\n\r\n",
                  "[OTHER]\r\nA=1\r\n\r\n[QUORTECH]\r\nTIMEZONE=INTL\r\n"},
        WriteCase{"SectionAfterLastLineWithoutLineEnd", "[OTHER]\nA=1",
                  "[OTHER]\nA=1\r\n[QUORTECH]\r\nTIMEZONE=INTL\r\n"},
        WriteCase{"EmptyFile", "", "[QUORTECH]\r\nTIMEZONE=INTL\r\n"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
