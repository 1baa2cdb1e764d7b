#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>

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
    ASSERT_EQ(opens.size(), static_cast<size_t>(windows9x ? kZoneCount : 2 * kZoneCount));
    for (int i = 0; i < kZoneCount; ++i) {
      const std::string key = ZoneKey(i, windows9x);
      // On the NT family each zone's "Dynamic DST" is looked at after its TZI.
      EXPECT_EQ(opens[windows9x ? i : 2 * i], "RegOpenKeyExA(" + key + ")");
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
      machine.faults = {{"RegOpenKeyExA", win::ERROR_ACCESS_DENIED, mountain}};
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

// A rule record from March's second Sunday to November's first at the given
// local times (hour * 100 + minute), or an entry of other bytes.
std::vector<uint8_t> Rule(int bias, int daylightAt, int standardAt) {
  std::vector<uint8_t> bytes =
      Hex("00000000 00000000 C4FFFFFF 0000 0B00 0000 0100 0000 0000 00000000"
          "0000 0300 0000 0200 0000 0000 00000000");
  for (int b = 0; b < 4; ++b) {
    bytes[b] = static_cast<uint8_t>(bias >> (8 * b));
  }
  const int at[2][2] = {{20, standardAt}, {36, daylightAt}};
  for (const auto& [offset, time] : at) {
    bytes[offset] = static_cast<uint8_t>(time / 100);
    bytes[offset + 2] = static_cast<uint8_t>(time % 100);
  }
  return bytes;
}

std::vector<uint8_t> Dword(win::DWORD value) {
  return {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value >> 16),
          static_cast<uint8_t>(value >> 24)};
}

using Entries = std::map<std::string, sim::Registry::Value>;
const auto kOldEastern = OldTzi(300);
const sim::Registry::Value kAt0001 = {win::REG_BINARY, Rule(210, 1, 1)};

struct DynamicDstCase {
  const char* name;
  const char* zone;
  Entries seeded;  // "Dynamic DST" values besides FirstEntry; none: no subkey
  Entries added;   // the values the run adds or changes
  std::string message;
  std::function<void(sim::Machine&, const std::string&)> fault = nullptr;
};

// Years after LastEntry are added, each with its own rule, up to the first
// year of today's rule; LastEntry is moved there, nothing else is changed.
TEST_F(ZoneRegistryTest, DynamicDstGetsTheMissingYears) {
  const sim::Registry::Value today = {win::REG_BINARY, Rule(210, 200, 200)};
  const sim::Registry::Value eastern = {win::REG_BINARY, Rule(300, 200, 200)};
  const auto last = [](win::DWORD year) { return sim::Registry::Value{win::REG_DWORD, Dword(year)}; };
  const std::string failed = "\nDynamic DST of Newfoundland Standard Time could not be updated (error ";
  const Entries oldNewfoundland = {{"2007", kAt0001}, {"2008", kAt0001}, {"2009", kAt0001}, {"2010", kAt0001}};
  const auto with = [](Entries entries, const Entries& more) {
    entries.insert(more.begin(), more.end());
    return entries;
  };
  const DynamicDstCase cases[] = {
      {"NewfoundlandBefore2011Update",
       "Newfoundland",
       with(oldNewfoundland, {{"LastEntry", last(2010)}}),
       {{"2011", {win::REG_BINARY, Rule(210, 1, 200)}}, {"2012", today}, {"LastEntry", last(2012)}},
       ""},
      {"NewfoundlandUpToDate",
       "Newfoundland",
       with(oldNewfoundland, {{"2012", today}, {"LastEntry", last(2012)}}),
       {},
       ""},
      // A later LastEntry with the old rule: the next year takes today's.
      {"LastEntryAfterTodaysFirstYear",
       "Newfoundland",
       {{"2013", kAt0001}, {"LastEntry", last(2013)}},
       {{"2014", today}, {"LastEntry", last(2014)}},
       ""},
      // Years before 2007 keep the rule Windows gives them today.
      {"EasternBefore2007",
       "Eastern",
       {{"2005", {win::REG_BINARY, kOldEastern}}, {"LastEntry", last(2005)}},
       {{"2006", {win::REG_BINARY, kOldEastern}}, {"2007", eastern}, {"LastEntry", last(2007)}},
       ""},
      {"NoSubkey", "Newfoundland", {}, {}, ""},
      {"WriteRefused",
       "Newfoundland",
       with(oldNewfoundland, {{"LastEntry", last(2010)}}),
       {},
       failed + "1018)",
       [](sim::Machine& m, const std::string& k) {
         m.faults = {{"RegSetValueExA", 1018, k}};
       }},
      {"NoLastEntry", "Newfoundland", oldNewfoundland, {}, failed + "2)"},
      {"NoEntryOfLastEntry", "Newfoundland", {{"LastEntry", last(2011)}}, {}, failed + "2)"},
      {"LastEntryNotADword", "Newfoundland", {{"LastEntry", {win::REG_SZ, {'2', 0}}}}, {}, failed + "13)"},
      {"LastEntryNotAYear", "Newfoundland", {{"1", kAt0001}, {"LastEntry", last(1)}}, {}, failed + "13)"},
      {"EntryNotARecord",
       "Newfoundland",
       {{"2010", {win::REG_BINARY, Dword(1)}}, {"LastEntry", last(2010)}},
       {},
       failed + "13)"},
  };
  for (const auto& c : cases) {
    SeedZones();
    machine.stdoutText.clear();
    machine.calls.clear();
    const std::string key = NtZoneKey(std::string(c.zone) + " Standard Time") + "\\Dynamic DST";
    machine.registry.DeleteKey(key);
    for (const auto& [name, value] : c.seeded) {
      machine.registry.SetValue(key, name, value.type, value.data);
    }
    machine.faults.clear();
    if (c.fault) {
      c.fault(machine, key);
    }
    EXPECT_EQ(SetTimeZonesForLocalMachine(kNtPrefix, false), c.message.empty()) << c.name;
    EXPECT_EQ(machine.stdoutText,
              c.message.empty() ? "\nSetting TimeZones for US/Canada part.. succeeded\n" : c.message)
        << c.name;
    // Only what is added is written: the values up to LastEntry stay.
    if (c.message.empty()) {
      EXPECT_EQ(machine.CallsStartingWith("RegSetValueExA(" + key).size(), c.added.size()) << c.name;
    }
    for (const auto& [name, value] : with(c.added, c.seeded)) {
      const auto stored = machine.registry.GetValue(key, name);
      ASSERT_TRUE(stored.has_value()) << c.name << " " << name;
      EXPECT_EQ(stored->type, value.type) << c.name << " " << name;
      EXPECT_EQ(stored->data, value.data) << c.name << " " << name;
    }
    EXPECT_EQ(machine.registry.KeyExists(key), !c.seeded.empty()) << c.name;
    EXPECT_TRUE(machine.registry.Unflushed().empty()) << c.name;
  }
}

}  // namespace
