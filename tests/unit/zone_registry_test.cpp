#include <gtest/gtest.h>

#include "app/process_state.h"
#include "tests/unit/harness.h"
#include "tzrules/registry_update.h"
#include "tzrules/zone_table.h"

namespace {

const char kNtPrefix[] = "Software\\Microsoft\\Windows NT\\CurrentVersion\\Time Zones\\";

std::vector<uint8_t> Hex(const char* text) {
  std::vector<uint8_t> bytes;
  for (const char* p = text; *p != '\0';) {
    if (*p == ' ') {
      ++p;
      continue;
    }
    bytes.push_back(static_cast<uint8_t>(std::stoi(std::string(p, 2), nullptr, 16)));
    p += 2;
  }
  return bytes;
}

class ZoneRegistryTest : public SimTest {
 protected:
  ZoneRegistryTest() { ResetProcessState(); }
  std::vector<uint8_t> Tzi(const std::string& keyName) const {
    auto value = machine.registry.GetValue(NtZoneKey(keyName), "TZI");
    return value ? value->data : std::vector<uint8_t>{};
  }
};

TEST_F(ZoneRegistryTest, WritesTheSevenNewRecordsByteForByte) {
  EXPECT_TRUE(SetTimeZonesForLocalMachine(kNtPrefix, false));
  EXPECT_EQ(machine.stdoutText, "\nSetting TimeZones for US/Canada part.. succeeded\n");
  const char* biases[7] = {"1C 02", "E0 01", "A4 01", "68 01", "2C 01", "F0 00", "D2 00"};
  for (int i = 0; i < 7; ++i) {
    const std::string name = std::string(kZoneBaseNames[i]) + " Standard Time";
    const char* time = i == 6 ? "00 00 01 00" : "02 00 00 00";
    const std::string expected = std::string(biases[i]) + " 00 00 00000000 C4FFFFFF 0000 0B00 0000 0100 " + time +
                                 " 00000000 0000 0300 0000 0200 " + time + " 00000000";
    EXPECT_EQ(Tzi(name), Hex(expected.c_str())) << name;
    EXPECT_EQ(machine.registry.GetValue(NtZoneKey(name), "TZI")->type, win::REG_BINARY);
    // The other values of the key are left alone.
    EXPECT_TRUE(machine.registry.GetValue(NtZoneKey(name), "Std").has_value());
  }
  const auto opens = machine.CallsStartingWith("RegOpenKeyExA");
  ASSERT_EQ(opens.size(), 7u);
  for (int i = 0; i < 7; ++i) {
    EXPECT_EQ(opens[i],
              "RegOpenKeyExA(" + NtZoneKey(std::string(kZoneBaseNames[i]) + " Standard Time") + ", 0, 0xF003F)");
  }
  EXPECT_TRUE(OpenHandles().empty());
}

TEST_F(ZoneRegistryTest, SecondRunLeavesTheSameBytes) {
  SetTimeZonesForLocalMachine(kNtPrefix, false);
  const auto once = Tzi("Eastern Standard Time");
  SetTimeZonesForLocalMachine(kNtPrefix, false);
  EXPECT_EQ(Tzi("Eastern Standard Time"), once);
  EXPECT_EQ(once.size(), 44u);
}

TEST_F(ZoneRegistryTest, MissingKeyIsReportedAndTheWalkGoesOn) {
  machine.registry.DeleteKey(NtZoneKey("Mountain Standard Time"));
  EXPECT_FALSE(SetTimeZonesForLocalMachine(kNtPrefix, false));
  EXPECT_EQ(machine.stdoutText,
            "\nSetTimeZones() for - " + std::string(kNtPrefix) +
                "Mountain Standard Time, failed, RegOpenKeyEx() returned 2"
                "\nSetTimeZonesForLocalMachine() -Mountain Standard Time , SetTimeZones returned 2");
  EXPECT_EQ(machine.CallsStartingWith("RegSetValueExA").size(), 6u);
  EXPECT_EQ(Tzi("Newfoundland Standard Time").at(22), 1);  // minute 1, written after the failure
  EXPECT_FALSE(machine.registry.KeyExists(NtZoneKey("Mountain Standard Time")));
}

TEST_F(ZoneRegistryTest, DeniedKeysGiveTwoMessagesEach) {
  for (const char* name : kZoneBaseNames) {
    machine.registry.DenyAccess(NtZoneKey(std::string(name) + " Standard Time"), win::KEY_SET_VALUE);
  }
  EXPECT_FALSE(SetTimeZonesForLocalMachine(kNtPrefix, false));
  size_t messages = 0;
  for (size_t at = 0; (at = machine.stdoutText.find('\n', at)) != std::string::npos; ++at) {
    ++messages;
  }
  EXPECT_EQ(messages, 14u);
  EXPECT_NE(machine.stdoutText.find("Alaskan Standard Time, failed, RegOpenKeyEx() returned 5"), std::string::npos);
  EXPECT_NE(machine.stdoutText.find("-Newfoundland Standard Time , SetTimeZones returned 5"), std::string::npos);
  EXPECT_TRUE(machine.CallsStartingWith("RegSetValueExA").empty());
}

TEST_F(ZoneRegistryTest, RefusedWriteIsReportedAndTheKeyClosed) {
  machine.registry.FailWrites(NtZoneKey("Central Standard Time"), 1018);
  EXPECT_EQ(SetTimeZones(std::string(kNtPrefix) + "Central Standard Time", 3), 1018);
  EXPECT_EQ(machine.stdoutText, "\nSetTimeZones() for - " + std::string(kNtPrefix) +
                                    "Central Standard Time, RegSetValueEx() failed and returned 1018");
  EXPECT_EQ(machine.calls.back(), "RegCloseKey(" + NtZoneKey("Central Standard Time") + ")");
  EXPECT_TRUE(OpenHandles().empty());
}

TEST(ZoneTableTest, NamesAndTimesOfDay) {
  EXPECT_EQ(GetZoneName(0), "Alaskan");
  EXPECT_EQ(GetZoneName(6), "Newfoundland");
  EXPECT_EQ(GetZoneName(7), "");
  EXPECT_EQ(GetZoneName(-1), "");
  for (int i = 0; i < kZoneCount; ++i) {
    const TziRecord& r = ZoneRecord(i);
    const bool newfoundland = i == 6;
    for (const auto& date : {r.standardDate, r.daylightDate}) {
      EXPECT_EQ(date.wHour, newfoundland ? 0 : 2);
      EXPECT_EQ(date.wMinute, newfoundland ? 1 : 0);
      EXPECT_EQ(date.wYear + date.wSecond + date.wMilliseconds + date.wDayOfWeek, 0);
    }
  }
}

}  // namespace
