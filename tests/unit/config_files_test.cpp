#include <gtest/gtest.h>

#include <string>

#include "app/run_log.h"
#include "site/config_files.h"
#include "tests/unit/harness.h"

namespace {

const char kRemoving[] = "\nRemoving Timezone.ini.. if exists";
const char kModifying[] = "\nModifying Pelio.ini.";
const char kLocal[] = "[QUORTECH]\r\nTIMEZONE=LOCAL\r\n";
const char kIntl[] = "[QUORTECH]\r\nTIMEZONE=INTL\r\n";

class ConfigFilesTest : public SiteTest {
 protected:
  ConfigFilesTest() {
    WritePelioFiles(kLocal);
    OpenRunLog(root + "\\tmp\\debGorvinal.txt");
  }
  // Every message, failures included, goes to the run log too.
  void TearDown() override {
    EXPECT_EQ(SiteLog(), Crlf(machine.stdoutText));
    SiteTest::TearDown();
  }
  std::string File(const std::string& path) const { return machine.files.ReadFile(path).value_or("<missing>"); }

  const std::string dataPelio = root + "\\data\\pelio.ini";
  const std::string newdataPelio = root + "\\newdata\\pelio.ini";
  const std::string dataTimezone = root + "\\data\\timezone.ini";
  const std::string newdataTimezone = root + "\\newdata\\timezone.ini";
};

struct RemoveCase {
  const char* name;
  bool inNewdata;
  bool inData;
  bool newdataHeld;  // open in another process without sharing
  bool dataReadOnly;
  std::string messages;  // after the first message
};

class RemoveTimezoneTest : public ConfigFilesTest, public ::testing::WithParamInterface<RemoveCase> {};

TEST_P(RemoveTimezoneTest, DeletesWhatExistsAndReportsWhatStays) {
  const RemoveCase& c = GetParam();
  if (c.inNewdata) {
    machine.files.WriteFile(newdataTimezone, "[TZ]\r\n");
  }
  if (c.inData) {
    machine.files.WriteFile(dataTimezone, "[TZ]\r\n");
  }
  if (c.newdataHeld) {
    machine.files.HoldOpen(newdataTimezone, win::GENERIC_READ, 0);
  }
  machine.files.SetReadOnly(dataTimezone, c.dataReadOnly);
  RemoveTimezoneIni(root);
  EXPECT_EQ(machine.stdoutText, kRemoving + c.messages);
  EXPECT_EQ(machine.files.Exists(newdataTimezone), c.newdataHeld);
  EXPECT_EQ(machine.files.Exists(dataTimezone), c.dataReadOnly);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RemoveTimezoneTest,
    ::testing::Values(RemoveCase{"Neither", false, false, false, false, ""},
                      RemoveCase{"DataOnly", false, true, false, false, ""},
                      RemoveCase{"Both", true, true, false, false, ""},
                      // Newdata first; a file that stays does not stop the other.
                      RemoveCase{"BothLocked", true, true, true, true,
                                 "\nTimezone.ini could not be removed: C:\\Site\\newdata\\timezone.ini (error 32)"
                                 "\nTimezone.ini could not be removed: C:\\Site\\data\\timezone.ini (error 5)"}),
    kCaseName);

struct ValueCase {
  const char* name;
  std::string before;  // both pelio.ini files
  std::string after;   // empty: the files stay byte for byte as they were
};

class PelioValueTest : public ConfigFilesTest, public ::testing::WithParamInterface<ValueCase> {};

TEST_P(PelioValueTest, WritesOnlyWhereTheValueDiffers) {
  const ValueCase& c = GetParam();
  WritePelioFiles(c.before);
  EXPECT_TRUE(ModifyPelioIni(root));
  EXPECT_EQ(machine.stdoutText, kModifying);
  const std::string expected = c.after.empty() ? c.before : c.after;
  EXPECT_EQ(File(dataPelio), expected);
  EXPECT_EQ(File(newdataPelio), expected);
  EXPECT_EQ(machine.CallsStartingWith("WritePrivateProfileStringA").size(), c.after.empty() ? 0u : 2u);
}

const std::string kHead = "; site\r\n[QUORTECH]\r\nNAME=North 1\r\n";
const std::string kTail = "\r\n[OTHER]\r\nX=1\r\n";

INSTANTIATE_TEST_SUITE_P(
    Values, PelioValueTest,
    ::testing::Values(
        ValueCase{"LowerCaseIsSet", kHead + "TIMEZONE=intl" + kTail, ""},
        ValueCase{"QuotedIsSet", kHead + "TIMEZONE=\"INTL\"" + kTail, ""},
        ValueCase{"OtherValueReplaced", kHead + "TIMEZONE=LOCAL" + kTail, kHead + "TIMEZONE=INTL" + kTail},
        // Read into 30 bytes, the value is cut short and so never counts as set.
        ValueCase{"LongValueReplaced", kHead + "TIMEZONE=INTL" + std::string(30, ' ') + "X" + kTail,
                  kHead + "TIMEZONE=INTL" + kTail},
        ValueCase{"MissingKeyAdded", kHead + kTail, kHead + "TIMEZONE=INTL\r\n" + kTail},
        ValueCase{"MissingSectionAdded", "[OTHER]\nX=1\n", "[OTHER]\nX=1\n[QUORTECH]\r\nTIMEZONE=INTL\r\n"}),
    kCaseName);

// A missing file is reported, never created, and the other one is still done.
TEST_F(ConfigFilesTest, MissingFilesAreReportedInOrder) {
  ASSERT_TRUE(win::DeleteFileA(dataPelio.c_str()));
  EXPECT_FALSE(ModifyPelioIni(root));
  EXPECT_EQ(machine.stdoutText, std::string(kModifying) + "\nPelio.ini- File Not Found: C:\\Site\\data\\pelio.ini");
  EXPECT_EQ(File(newdataPelio), kIntl);
  EXPECT_EQ(machine.CallsStartingWith("GetPrivateProfileStringA"),
            std::vector<std::string>{"GetPrivateProfileStringA(QUORTECH, TIMEZONE, 30, " + newdataPelio + ")"});

  ASSERT_TRUE(win::DeleteFileA(newdataPelio.c_str()));
  EXPECT_FALSE(ModifyPelioIni(root));
  EXPECT_TRUE(Contains(machine.stdoutText, std::string(kModifying) +
                                               "\nPelio.ini- File Not Found: C:\\Site\\data\\pelio.ini"
                                               "\nPelio.ini- File Not Found: C:\\Site\\newdata\\pelio.ini"));
  EXPECT_FALSE(machine.files.Exists(dataPelio));
  EXPECT_FALSE(machine.files.Exists(newdataPelio));
}

struct RefusalCase {
  const char* name;
  void (*arrange)(sim::Machine& machine, const std::string& path);
  int code;
  const char* dataAfter;
};

class PelioRefusalTest : public ConfigFilesTest, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(PelioRefusalTest, RefusedWriteIsReportedAndTheOtherFileStillDone) {
  const RefusalCase& c = GetParam();
  c.arrange(machine, dataPelio);
  EXPECT_FALSE(ModifyPelioIni(root));
  EXPECT_EQ(machine.stdoutText, std::string(kModifying) +
                                    "\nPelio.ini- Unable to update: C:\\Site\\data\\pelio.ini (error " +
                                    std::to_string(c.code) + ")");
  EXPECT_EQ(File(dataPelio), c.dataAfter);
  EXPECT_EQ(File(newdataPelio), kIntl);
}

INSTANTIATE_TEST_SUITE_P(
    Refusals, PelioRefusalTest,
    ::testing::Values(
        RefusalCase{"ReadOnly", [](sim::Machine& m, const std::string& p) { m.files.SetReadOnly(p, true); }, 5, kLocal},
        RefusalCase{"HeldWithoutSharing",
                    [](sim::Machine& m, const std::string& p) { m.files.HoldOpen(p, win::GENERIC_READ, 0); }, 32,
                    kLocal},
        RefusalCase{"DirectoryAtThePath",
                    [](sim::Machine& m, const std::string& p) {
                      (void)win::DeleteFileA(p.c_str());
                      m.files.MakeDirectory(p);
                    },
                    5, "<missing>"},
        RefusalCase{"DiskFull", [](sim::Machine& m, const std::string& p) { m.files.FailWrites(p, 112); }, 112,
                    kLocal}),
    kCaseName);

}  // namespace
