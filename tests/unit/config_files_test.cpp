#include <gtest/gtest.h>

#include <string>

#include "app/process_state.h"
#include "app/run_log.h"
#include "site/config_files.h"
#include "tests/unit/harness.h"

namespace {

const char kRemoving[] = "\nRemoving Timezone.ini.. if exists";
const char kModifying[] = "\nModifying Pelio.ini.";

class ConfigFilesTest : public SimTest {
 protected:
  ConfigFilesTest() {
    ResetProcessState();
    machine.files.WriteFile(newdataPelio, "[QUORTECH]\r\nTIMEZONE=LOCAL\r\n");
  }
  ~ConfigFilesTest() override { ResetProcessState(); }
  void TearDown() override {
    EXPECT_TRUE(OpenHandles().empty());
    EXPECT_EQ(machine.modules.TotalLoads(), 0);
  }
  std::string File(const std::string& path) const { return machine.files.ReadFile(path).value_or("<missing>"); }

  const std::string dataPelio = root + "\\data\\pelio.ini";
  const std::string newdataPelio = root + "\\newdata\\pelio.ini";
  const std::string dataTimezone = root + "\\data\\timezone.ini";
  const std::string newdataTimezone = root + "\\newdata\\timezone.ini";
};

// --- RemoveTimezoneIni ---

enum class Lock { None, NewdataHeld, DataReadOnly };

struct RemoveCase {
  const char* name;
  bool inNewdata;
  bool inData;
  Lock lock;
  std::string messages;  // after the first message
  bool newdataRemains;
};

void PrintTo(const RemoveCase& c, std::ostream* os) { *os << c.name; }

class RemoveTimezoneTest : public ConfigFilesTest, public ::testing::WithParamInterface<RemoveCase> {};

TEST_P(RemoveTimezoneTest, DeletesWhatExistsAndReportsWhatStays) {
  const RemoveCase& c = GetParam();
  if (c.inNewdata) {
    machine.files.WriteFile(newdataTimezone, "[TZ]\r\n");
  }
  if (c.inData) {
    machine.files.WriteFile(dataTimezone, "[TZ]\r\n");
  }
  int hold = 0;
  if (c.lock == Lock::NewdataHeld) {
    hold = machine.files.HoldOpen(newdataTimezone, win::GENERIC_READ, 0);
  }
  if (c.lock == Lock::DataReadOnly) {
    machine.files.SetReadOnly(dataTimezone, true);
  }
  RemoveTimezoneIni(root);
  EXPECT_EQ(machine.stdoutText, kRemoving + c.messages);
  EXPECT_EQ(machine.files.Exists(newdataTimezone), c.newdataRemains);
  EXPECT_EQ(machine.files.Exists(dataTimezone), c.lock == Lock::DataReadOnly);
  // Only existing files are deleted, newdata first.
  std::vector<std::string> deletes;
  if (c.inNewdata) {
    deletes.push_back("DeleteFileA(" + newdataTimezone + ")");
  }
  if (c.inData) {
    deletes.push_back("DeleteFileA(" + dataTimezone + ")");
  }
  EXPECT_EQ(machine.CallsStartingWith("DeleteFileA"), deletes);
  if (hold != 0) {
    machine.files.ReleaseHold(hold);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RemoveTimezoneTest,
    ::testing::Values(RemoveCase{"Neither", false, false, Lock::None, "", false},
                      RemoveCase{"DataOnly", false, true, Lock::None, "", false},
                      RemoveCase{"Both", true, true, Lock::None, "", false},
                      RemoveCase{"NewdataHeldWithoutSharing", true, true, Lock::NewdataHeld,
                                 "\nTimezone.ini could not be removed: C:\\Site\\newdata\\timezone.ini (error 32)",
                                 true},
                      RemoveCase{"DataReadOnly", true, true, Lock::DataReadOnly,
                                 "\nTimezone.ini could not be removed: C:\\Site\\data\\timezone.ini (error 5)", false}),
    [](const auto& info) { return std::string(info.param.name); });

// --- ModifyPelioIni: values ---

struct ValueCase {
  const char* name;
  std::string before;  // both pelio.ini files
  std::string after;   // empty: the files stay byte for byte as they were
};

void PrintTo(const ValueCase& c, std::ostream* os) { *os << c.name; }

class PelioValueTest : public ConfigFilesTest, public ::testing::WithParamInterface<ValueCase> {};

TEST_P(PelioValueTest, WritesOnlyWhereTheValueDiffers) {
  const ValueCase& c = GetParam();
  machine.files.WriteFile(dataPelio, c.before);
  machine.files.WriteFile(newdataPelio, c.before);
  EXPECT_TRUE(ModifyPelioIni(root));
  EXPECT_EQ(machine.stdoutText, kModifying);
  const std::string expected = c.after.empty() ? c.before : c.after;
  EXPECT_EQ(File(dataPelio), expected);
  EXPECT_EQ(File(newdataPelio), expected);
  EXPECT_EQ(machine.CallsStartingWith("WritePrivateProfileStringA").size(), c.after.empty() ? 0u : 2u);
  EXPECT_EQ(machine.CallsStartingWith("GetPrivateProfileStringA"),
            (std::vector<std::string>{"GetPrivateProfileStringA(QUORTECH, TIMEZONE, 30, " + dataPelio + ")",
                                      "GetPrivateProfileStringA(QUORTECH, TIMEZONE, 30, " + newdataPelio + ")"}));
}

const std::string kHead = "; site\r\n[QUORTECH]\r\nNAME=North 1\r\n";
const std::string kTail = "\r\n[OTHER]\r\nX=1\r\n";

INSTANTIATE_TEST_SUITE_P(
    Values, PelioValueTest,
    ::testing::Values(
        ValueCase{"LowerCaseIsSet", kHead + "TIMEZONE=intl" + kTail, ""},
        ValueCase{"QuotedIsSet", kHead + "TIMEZONE=\"INTL\"" + kTail, ""},
        ValueCase{"OtherValueReplaced", kHead + "TIMEZONE=LOCAL" + kTail, kHead + "TIMEZONE=INTL" + kTail},
        ValueCase{"EmptyValueReplaced", kHead + "TIMEZONE=" + kTail, kHead + "TIMEZONE=INTL" + kTail},
        ValueCase{"LongValueReplaced", kHead + "TIMEZONE=INTL" + std::string(30, ' ') + "X" + kTail,
                  kHead + "TIMEZONE=INTL" + kTail},
        ValueCase{"TrailingCommentReplaced", kHead + "TIMEZONE=INTL ; set" + kTail, kHead + "TIMEZONE=INTL" + kTail},
        ValueCase{"MissingKeyAdded", kHead + kTail, kHead + "TIMEZONE=INTL\r\n" + kTail},
        ValueCase{"MissingSectionAdded", "[OTHER]\nX=1\n", "[OTHER]\nX=1\n[QUORTECH]\r\nTIMEZONE=INTL\r\n"}),
    [](const auto& info) { return std::string(info.param.name); });

// --- ModifyPelioIni: missing and refused files ---

TEST_F(ConfigFilesTest, OnlyNewdataFileIsUpdatedAndTheMissingOneReported) {
  ASSERT_TRUE(win::DeleteFileA(dataPelio.c_str()));
  EXPECT_FALSE(ModifyPelioIni(root));
  EXPECT_EQ(machine.stdoutText, std::string(kModifying) + "\nPelio.ini- File Not Found: C:\\Site\\data\\pelio.ini");
  EXPECT_FALSE(machine.files.Exists(dataPelio));
  EXPECT_EQ(File(newdataPelio), "[QUORTECH]\r\nTIMEZONE=INTL\r\n");
}

TEST_F(ConfigFilesTest, NeitherFileIsCreated) {
  ASSERT_TRUE(win::DeleteFileA(dataPelio.c_str()));
  ASSERT_TRUE(win::DeleteFileA(newdataPelio.c_str()));
  EXPECT_FALSE(ModifyPelioIni(root));
  EXPECT_EQ(machine.stdoutText, std::string(kModifying) +
                                    "\nPelio.ini- File Not Found: C:\\Site\\data\\pelio.ini"
                                    "\nPelio.ini- File Not Found: C:\\Site\\newdata\\pelio.ini");
  EXPECT_FALSE(machine.files.Exists(dataPelio));
  EXPECT_FALSE(machine.files.Exists(newdataPelio));
  EXPECT_TRUE(machine.CallsStartingWith("GetPrivateProfileStringA").empty());
}

enum class Refusal { ReadOnly, HeldWithoutSharing, Directory, DiskFull };

struct RefusalCase {
  const char* name;
  Refusal refusal;
  int code;
};

void PrintTo(const RefusalCase& c, std::ostream* os) { *os << c.name; }

class PelioRefusalTest : public ConfigFilesTest, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(PelioRefusalTest, RefusedWriteIsReportedAndTheOtherFileStillDone) {
  const RefusalCase& c = GetParam();
  const std::string before = "[QUORTECH]\r\nTIMEZONE=LOCAL\r\n";
  int hold = 0;
  switch (c.refusal) {
    case Refusal::ReadOnly:
      machine.files.SetReadOnly(dataPelio, true);
      break;
    case Refusal::HeldWithoutSharing:
      hold = machine.files.HoldOpen(dataPelio, win::GENERIC_READ, 0);
      break;
    case Refusal::Directory:
      ASSERT_TRUE(win::DeleteFileA(dataPelio.c_str()));
      machine.files.MakeDirectory(dataPelio);
      break;
    case Refusal::DiskFull:
      machine.files.FailWrites(dataPelio, win::ERROR_DISK_FULL);
      break;
  }
  EXPECT_FALSE(ModifyPelioIni(root));
  EXPECT_EQ(machine.stdoutText, std::string(kModifying) +
                                    "\nPelio.ini- Unable to update: C:\\Site\\data\\pelio.ini (error " +
                                    std::to_string(c.code) + ")");
  if (c.refusal != Refusal::Directory) {
    EXPECT_EQ(File(dataPelio), before);
  }
  EXPECT_EQ(File(newdataPelio), "[QUORTECH]\r\nTIMEZONE=INTL\r\n");
  if (hold != 0) {
    machine.files.ReleaseHold(hold);
  }
}

INSTANTIATE_TEST_SUITE_P(Refusals, PelioRefusalTest,
                         ::testing::Values(RefusalCase{"ReadOnly", Refusal::ReadOnly, 5},
                                           RefusalCase{"HeldWithoutSharing", Refusal::HeldWithoutSharing, 32},
                                           RefusalCase{"DirectoryAtThePath", Refusal::Directory, 5},
                                           RefusalCase{"DiskFull", Refusal::DiskFull, 112}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(ConfigFilesTest, RootEndingInBackslashGivesPathsAsFormed) {
  const std::string slashRoot = root + "\\";
  ASSERT_TRUE(win::DeleteFileA(newdataPelio.c_str()));
  EXPECT_FALSE(ModifyPelioIni(slashRoot));
  EXPECT_EQ(machine.stdoutText,
            std::string(kModifying) + "\nPelio.ini- File Not Found: C:\\Site\\\\newdata\\pelio.ini");
  EXPECT_EQ(
      machine.CallsStartingWith("WritePrivateProfileStringA"),
      std::vector<std::string>{"WritePrivateProfileStringA(QUORTECH, TIMEZONE, INTL, C:\\Site\\\\data\\pelio.ini)"});
  EXPECT_EQ(File(dataPelio), "[QUORTECH]\r\nTIMEZONE=INTL\r\n");
}

TEST_F(ConfigFilesTest, MessagesGoToTheRunLogToo) {
  OpenRunLog(root + "\\tmp\\debGorvinal.txt");
  machine.files.WriteFile(dataTimezone, "");
  machine.files.SetReadOnly(dataTimezone, true);
  ASSERT_TRUE(win::DeleteFileA(newdataPelio.c_str()));
  RemoveTimezoneIni(root);
  ModifyPelioIni(root);
  ResetProcessState();  // closes the run log
  EXPECT_EQ(SiteLog(),
            "\r\nRemoving Timezone.ini.. if exists"
            "\r\nTimezone.ini could not be removed: C:\\Site\\data\\timezone.ini (error 5)"
            "\r\nModifying Pelio.ini."
            "\r\nPelio.ini- File Not Found: C:\\Site\\newdata\\pelio.ini");
}

}  // namespace
