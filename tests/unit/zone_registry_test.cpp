#include <gtest/gtest.h>

#include <algorithm>

#include "tests/unit/harness.h"
#include "tzrules/registry_update.h"
#include "tzrules/zone_table.h"

namespace {

const std::string kNtPrefix = "Software\\Microsoft\\Windows NT\\CurrentVersion\\Time Zones\\";

// Bytes from pairs of hex digits; blanks are skipped.
std::vector<uint8_t> Hex(std::string text) {
  text.erase(std::remove(text.begin(), text.end(), ' '), text.end());
  std::vector<uint8_t> bytes;
  for (size_t at = 0; at < text.size(); at += 2) {
    bytes.push_back(static_cast<uint8_t>(std::stoi(text.substr(at, 2), nullptr, 16)));
  }
  return bytes;
}

class ZoneRegistryTest : public SiteTest {
 protected:
  std::vector<uint8_t> Tzi(const std::string& key) const {
    auto value = machine.registry.GetValue(key, "TZI");
    return value && value->type == win::REG_BINARY ? value->data : std::vector<uint8_t>{};
  }
};

// The NT family names the keys "<zone> Standard Time", Windows 9x "<zone>";
// both are walked from Alaska eastwards.
TEST_F(ZoneRegistryTest, WritesTheSevenNewRecordsByteForByteInOrder) {
  for (const bool windows9x : {false, true}) {
    SeedZones(windows9x);
    machine.calls.clear();
    machine.stdoutText.clear();
    EXPECT_TRUE(SetTimeZonesForLocalMachine(TimeZonesKeyPrefix(windows9x), windows9x));
    EXPECT_EQ(machine.stdoutText, "\nSetting TimeZones for US/Canada part.. succeeded\n");
    const auto opens = machine.CallsStartingWith("RegOpenKeyExA");
    ASSERT_EQ(opens.size(), static_cast<size_t>(kZoneCount));
    for (int i = 0; i < kZoneCount; ++i) {
      const std::string key = ZoneKey(i, windows9x);
      EXPECT_EQ(opens[i], "RegOpenKeyExA(" + key + ", 0, 0xF003F)");
      // The zone's bias, then the rule: every zone changes at 02:00,
      // Newfoundland included.
      std::vector<uint8_t> expected(4);
      for (int b = 0; b < 4; ++b) {
        expected[b] = static_cast<uint8_t>(static_cast<uint32_t>(ZoneRecord(i).bias) >> (8 * b));
      }
      const auto rule =
          Hex("00000000 C4FFFFFF 0000 0B00 0000 0100 0200 0000 00000000 0000 0300 0000 0200 0200 0000 00000000");
      expected.insert(expected.end(), rule.begin(), rule.end());
      EXPECT_EQ(Tzi(key), expected) << key;
      EXPECT_TRUE(machine.registry.GetValue(key, "Std").has_value());  // the other values stay
    }
  }
}

// A key that cannot be opened gives two messages with its code; the zones
// after it are still written.
TEST_F(ZoneRegistryTest, KeyThatCannotBeOpenedIsReportedAndTheWalkGoesOn) {
  const std::string mountain = NtZoneKey("Mountain Standard Time");
  for (const int code : {2, 5}) {
    SeedZones();
    machine.calls.clear();
    machine.stdoutText.clear();
    if (code == 2) {
      machine.registry.DeleteKey(mountain);
    } else {
      machine.registry.DenyAccess(mountain, win::KEY_SET_VALUE);
    }
    EXPECT_FALSE(SetTimeZonesForLocalMachine(kNtPrefix, false));
    EXPECT_EQ(machine.stdoutText,
              "\nSetTimeZones() for - " + kNtPrefix + "Mountain Standard Time, failed, RegOpenKeyEx() returned " +
                  std::to_string(code) +
                  "\nSetTimeZonesForLocalMachine() -Mountain Standard Time , SetTimeZones returned " +
                  std::to_string(code));
    EXPECT_EQ(machine.CallsStartingWith("RegSetValueExA").size(), 6u);
    const auto newfoundland = TziBytes(ZoneRecord(6));
    EXPECT_EQ(Tzi(NtZoneKey("Newfoundland Standard Time")),
              std::vector<uint8_t>(newfoundland.begin(), newfoundland.end()))
        << "written after the failure";
  }
}

TEST_F(ZoneRegistryTest, RefusedWriteIsReported) {
  machine.registry.FailWrites(NtZoneKey("Central Standard Time"), 1018);
  EXPECT_EQ(SetTimeZones(kNtPrefix + "Central Standard Time", 3), 1018);
  EXPECT_EQ(machine.stdoutText,
            "\nSetTimeZones() for - " + kNtPrefix + "Central Standard Time, RegSetValueEx() failed and returned 1018");
}

}  // namespace
