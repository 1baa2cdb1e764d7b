#!/usr/bin/env python3
"""The seven US/Canada zones' rules as the IANA time zone data has them, for
each year from 2007 (when the US and Canada moved daylight time to March and
November) to 2037, as the 44 bytes of the registry's TZI record that Windows
keeps for a zone: the source that tests/unit/zone_table_test.cpp checks the
program's zone table against.

  tests/zones/iana.py           prints tests/unit/iana_rules.inc as the data gives it
  tests/zones/iana.py --check   fails when the file in the tree differs from that

Each change of a year is found in Python's zoneinfo (the system's tzdata), to
the minute, and put as Windows puts a yearly rule: the month, Sunday (0), its
occurrence in the month, and the local time of the change (standard time for
the start of daylight time, daylight time for its end).
"""
import datetime
import os
import struct
import sys
import zoneinfo

ZONES = [("Alaskan", "America/Anchorage"), ("Pacific", "America/Los_Angeles"), ("Mountain", "America/Denver"),
         ("Central", "America/Chicago"), ("Eastern", "America/New_York"), ("Atlantic", "America/Halifax"),
         ("Newfoundland", "America/St_Johns")]
FIRST_YEAR, LAST_YEAR = 2007, 2037
OUT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "unit", "iana_rules.inc")
UTC = datetime.timezone.utc


def offset(zone, instant):
    return zone.utcoffset(instant.astimezone(zone).replace(tzinfo=None))


def changes(zone, year):
    """The instants (UTC, to the minute) in YEAR at which ZONE's offset from
    UTC changes, each with the offsets before and after it."""
    found = []
    day = datetime.datetime(year, 1, 1, tzinfo=UTC)
    while day.year == year:
        end = day + datetime.timedelta(days=1)
        if offset(zone, day) != offset(zone, end):
            low, high = day, end  # the change lies after low, at or before high
            while high - low > datetime.timedelta(minutes=1):
                middle = low + (high - low) / 2
                middle = middle.replace(second=0, microsecond=0)
                if middle <= low:
                    middle = low + datetime.timedelta(minutes=1)
                if offset(zone, middle) == offset(zone, low):
                    low = middle
                else:
                    high = middle
            found.append((high, offset(zone, low), offset(zone, high)))
        day = end
    return found


def rule_date(local):
    """A yearly rule as Windows stores it: year 0, month, Sunday, occurrence,
    hour, minute."""
    assert local.weekday() == 6, "a change on a Sunday"
    return [0, local.month, 0, (local.day - 1) // 7 + 1, local.hour, local.minute, 0, 0]


def tzi(zone, year):
    (spring, standard, daylight), (fall, _, _) = changes(zone, year)
    assert daylight - standard == datetime.timedelta(hours=1)
    bias = -int(standard.total_seconds()) // 60
    standard_date = rule_date((fall + daylight).replace(tzinfo=None))  # the end, in daylight time
    daylight_date = rule_date((spring + standard).replace(tzinfo=None))  # the start, in standard time
    return struct.pack("<3l8H8H", bias, 0, -60, *standard_date, *daylight_date)


def text():
    lines = ["// Made by tests/zones/iana.py from the IANA time zone data: the zone, the first and",
             "// last year of a rule, and the zone's TZI record for those years. Do not edit."]
    for name, key in ZONES:
        zone = zoneinfo.ZoneInfo(key)
        spans = []
        for year in range(FIRST_YEAR, LAST_YEAR + 1):
            record = tzi(zone, year)
            if spans and spans[-1][2] == record:
                spans[-1][1] = year
            else:
                spans.append([year, year, record])
        for first, last, record in spans:
            lines.append('{"%s", %d, %d, {%s}},' % (name, first, last, ", ".join("0x%02X" % b for b in record)))
    return "\n".join(lines) + "\n"


def main(argv):
    made = text()
    if argv[1:] == ["--check"]:
        with open(OUT) as f:
            if f.read() != made:
                print("%s differs from the IANA data's rules; run tests/zones/iana.py > %s" % (OUT, OUT))
                return 1
        print("the zone rules of %d-%d agree with the IANA data" % (FIRST_YEAR, LAST_YEAR))
        return 0
    sys.stdout.write(made)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
