#include <gtest/gtest.h>

#include <dirent.h>

#include <cstring>
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
    OpenRunLog(root + kSiteRunLog);
  }
  // Every message, failures included, goes to the run log too.
  void TearDown() override {
    EXPECT_EQ(SiteLog(), Crlf(machine.stdoutText));
    SiteTest::TearDown();
  }
  std::string File(const std::string& path) const { return machine.files.ReadFile(path).value_or("<missing>"); }
  // The names in the folder for temporary files.
  std::vector<std::string> InTemp() const {
    std::vector<std::string> names;
    if (DIR* dir = opendir(machine.files.Resolve(machine.files.tempPath).host.c_str())) {
      while (const dirent* entry = readdir(dir)) {
        if (entry->d_name[0] != '.') {
          names.emplace_back(entry->d_name);
        }
      }
      closedir(dir);
    }
    return names;
  }

  const std::string dataPelio = root + kDataPelioIni;
  const std::string newdataPelio = root + kNewdataPelioIni;
  const std::string dataTimezone = root + kDataTimezoneIni;
  const std::string newdataTimezone = root + kNewdataTimezoneIni;
};

// Only what exists is deleted, newdata's first; a file that stays is
// reported and does not stop the other.
TEST_F(ConfigFilesTest, RemovesTimezoneIniAndReportsWhatStays) {
  RemoveTimezoneIni(root);
  for (int run = 0; run < 2; ++run) {
    machine.files.WriteFile(newdataTimezone, "[TZ]\r\n");
    machine.files.WriteFile(dataTimezone, "[TZ]\r\n");
    if (run == 1) {  // another program holds one; the other is read-only
      machine.faults = {{"DeleteFileA", 32, newdataTimezone}, {"DeleteFileA", 5, dataTimezone}};
    }
    RemoveTimezoneIni(root);
    EXPECT_EQ(machine.files.Exists(newdataTimezone), run == 1);
    EXPECT_EQ(machine.files.Exists(dataTimezone), run == 1);
  }
  EXPECT_EQ(machine.stdoutText, std::string(kRemoving) + kRemoving + kRemoving +
                                    "\nTimezone.ini could not be removed: C:\\Site\\newdata\\timezone.ini (error 32)"
                                    "\nTimezone.ini could not be removed: C:\\Site\\data\\timezone.ini (error 5)");
}

// What counts as set is the value read into 30 bytes, letter case aside; a
// change is written back through the file's handle, longer or shorter than
// before, and every other byte stays.
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
  // The profile calls only ever see a private copy, which is gone afterwards.
  for (const std::string& call : machine.CallsStartingWith("WritePrivateProfileStringA")) {
    EXPECT_FALSE(Contains(call, root)) << call;
  }
  EXPECT_EQ(InTemp(), std::vector<std::string>{});
}

const std::string kHead = "; site\r\n[QUORTECH]\r\nNAME=Caf\xE9 100%\r\n";
const std::string kTail = "\r\nB=2\r\n\x1A";
const std::string kSet = "[QUORTECH]\r\nTIMEZONE=INTL\r\n";

const ValueCase kPelioValueCases[] = {
    {"LowerCaseIsSet", "[QUORTECH]\r\nTIMEZONE=intl\r\n", ""},
    {"OtherValueReplacedRestKept", kHead + "TimeZone = LOCAL  " + kTail, kHead + "TimeZone =INTL" + kTail},
    // Read into 30 bytes, the value is cut short and so never counts as set.
    {"LongValueCut", "[QUORTECH]\r\nTIMEZONE=INTL" + std::string(30, ' ') + "X\r\n", kSet},
    {"EmptyFile", "", kSet},
    {"FileOfOneMegabyte", std::string(1'000'000, ';') + "\r\n[QUORTECH]\r\nTIMEZONE=LOCAL\r\n",
     std::string(1'000'000, ';') + "\r\n" + kSet},
};

INSTANTIATE_TEST_SUITE_P(Values, PelioValueTest, ::testing::ValuesIn(kPelioValueCases), kCaseName);

// A missing file is reported, never created, and the other one is still done.
TEST_F(ConfigFilesTest, MissingFilesAreReportedInOrder) {
  ASSERT_TRUE(win::DeleteFileA(dataPelio.c_str()));
  EXPECT_FALSE(ModifyPelioIni(root));
  EXPECT_EQ(machine.stdoutText, std::string(kModifying) + "\nPelio.ini- File Not Found: C:\\Site\\data\\pelio.ini");
  EXPECT_EQ(File(newdataPelio), kIntl);
  EXPECT_EQ(machine.CallsStartingWith("GetPrivateProfileStringA").size(), 1u);  // newdata's

  ASSERT_TRUE(win::DeleteFileA(newdataPelio.c_str()));
  EXPECT_FALSE(ModifyPelioIni(root));
  EXPECT_TRUE(Contains(machine.stdoutText, std::string(kModifying) +
                                               "\nPelio.ini- File Not Found: C:\\Site\\data\\pelio.ini"
                                               "\nPelio.ini- File Not Found: C:\\Site\\newdata\\pelio.ini"));
  EXPECT_FALSE(machine.files.Exists(dataPelio));
  EXPECT_FALSE(machine.files.Exists(newdataPelio));
  // One left alone counts as not done either.
  WritePelioFiles(kLocal);
  machine.files.MakeHardLink(root + "\\Other.ini", dataPelio);
  EXPECT_FALSE(ModifyPelioIni(root));
  EXPECT_TRUE(Contains(machine.stdoutText, "\nFile left alone: C:\\Site\\data\\pelio.ini (it has 2 hard links)"));
}

// A refused write (a full disk) is reported with its code and leaves the
// file as it was; the other file is still done.
TEST_F(ConfigFilesTest, RefusedWriteIsReportedAndTheOtherFileStillDone) {
  machine.faults = {{"WriteFile", 112, dataPelio}};
  EXPECT_FALSE(ModifyPelioIni(root));
  EXPECT_EQ(machine.stdoutText,
            std::string(kModifying) + "\nPelio.ini- Unable to update: C:\\Site\\data\\pelio.ini (error 112)");
  EXPECT_EQ(File(dataPelio), kLocal);
  EXPECT_EQ(File(newdataPelio), kIntl);
}

// The profile calls act on a copy in a folder of the run's own that only
// SYSTEM and Administrators may enter. A name there that a user took first
// is passed over; a folder for temporary files that cannot be used is
// reported for each file, which stays as it was.
TEST_F(ConfigFilesTest, CopyInAFolderOfTheRunsOwn) {
  EXPECT_TRUE(ModifyPelioIni(root));
  ASSERT_EQ(machine.files.madeFolders.size(), 1u);  // for both files
  const std::string taken = machine.files.madeFolders[0].first;
  EXPECT_EQ(taken.rfind("C:\\Windows\\Temp\\", 0), 0u);
  EXPECT_EQ(machine.files.madeFolders[0].second, "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)");
  machine.files.WriteFile("C:\\Outside\\pelio.ini", kLocal);
  machine.files.MakeLink(taken, "C:\\Outside");
  machine.files.SetOwner(taken, sim::kClerkSid);
  WritePelioFiles(kLocal);
  EXPECT_TRUE(ModifyPelioIni(root));
  EXPECT_EQ(File(newdataPelio), kIntl);
  EXPECT_EQ(File("C:\\Outside\\pelio.ini"), kLocal);
  EXPECT_EQ(InTemp().size(), 1u);  // the user's name, left as it was

  WritePelioFiles(kLocal);
  machine.files.tempPath = "C:\\Nowhere\\";
  EXPECT_FALSE(ModifyPelioIni(root));
  EXPECT_EQ(File(dataPelio), kLocal);
  EXPECT_EQ(File(newdataPelio), kLocal);
  EXPECT_EQ(machine.stdoutText, std::string(kModifying) + kModifying + kModifying +
                                    "\nPelio.ini- Unable to update: C:\\Site\\data\\pelio.ini (error 3)"
                                    "\nPelio.ini- Unable to update: C:\\Site\\newdata\\pelio.ini (error 3)");
}

// Windows 9x changes the files by name. Its flush of the profile cache
// returns zero by design and fails only where it sets an error code (here a
// disk that refuses the write).
TEST_F(ConfigFilesTest, Windows9xCacheFlushFailsOnlyWithAnError) {
  machine.version.platformId = win::VER_PLATFORM_WIN32_WINDOWS;
  EXPECT_TRUE(ModifyPelioIni(root));
  EXPECT_EQ(File(dataPelio), kIntl);
  EXPECT_EQ(machine.files.Unflushed().count(machine.files.Resolve(dataPelio).key), 0u);

  WritePelioFiles(kLocal);
  machine.faults = {{"WritePrivateProfileStringA", 112, "flush " + dataPelio}};
  EXPECT_FALSE(ModifyPelioIni(root));
  EXPECT_EQ(File(newdataPelio), kIntl);
  EXPECT_EQ(machine.stdoutText,
            std::string(kModifying) + kModifying + "\nCould not flush C:\\Site\\data\\pelio.ini to disk (error 112)");
}

}  // namespace
