// The zone table against a source that is not the program: each year's rule
// of each zone, as the IANA time zone data gives it (tests/zones/iana.py made
// iana_rules.inc from it, and the test zones.iana checks that it still does).
#include <gtest/gtest.h>

#include <array>

#include "tzrules/zone_table.h"

namespace {

struct IanaRule {
  const char* zone;
  int firstYear;
  int lastYear;
  std::array<uint8_t, kTziSize> tzi;
};

const IanaRule kIanaRules[] = {
#include "tests/unit/iana_rules.inc"
};

TEST(ZoneTableTest, EachYearsRuleIsThatOfTheIanaData) {
  for (int zone = 0; zone < kZoneCount; ++zone) {
    const IanaRule* today = nullptr;  // the zone's rule of the last year
    for (const IanaRule& rule : kIanaRules) {
      if (GetZoneName(zone) != rule.zone) {
        continue;
      }
      for (int year = rule.firstYear; year <= rule.lastYear; ++year) {
        EXPECT_EQ(TziBytes(ZoneRecordOfYear(zone, year)), rule.tzi) << rule.zone << " " << year;
      }
      if (today == nullptr || rule.lastYear > today->lastYear) {
        today = &rule;
      }
    }
    ASSERT_NE(today, nullptr) << GetZoneName(zone);
    EXPECT_EQ(TziBytes(ZoneRecord(zone)), today->tzi) << today->zone << ": the rule the patch writes";
    EXPECT_EQ(ZoneRecordFirstYear(zone), today->firstYear) << today->zone;
  }
}

}  // namespace
