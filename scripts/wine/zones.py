"""The seven US/Canada zones of the registry's time-zone database, read from
the program's own table (tzrules/zone_table.cpp): their rule records (44-byte
TZI values), a .reg text that seeds them, and the rules in words."""

import os
import re
import struct

KEY = r"HKEY_LOCAL_MACHINE\Software\Microsoft\Windows NT\CurrentVersion\Time Zones"
ZONE_TABLE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tzrules", "zone_table.cpp")


def _read_table():
    """(zones, rule) from the program's table: zones west to east as
    (base name, bias, hour, minute) of its changes; the rule as the
    (month, occurrence) of the start of standard and of daylight time."""
    with open(ZONE_TABLE, encoding="utf-8") as f:
        text = f.read()
    rule = re.search(r"TziRecord\{bias, 0, -60, Sunday\((\d+), (\d+), hour, minute\), "
                     r"Sunday\((\d+), (\d+), hour, minute\)\}", text)
    entries = re.findall(r'\{"(\w+)", Zone\((\d+), (\d+), (\d+)\)\}', text)
    if not rule or not entries:
        raise RuntimeError("the zone table of %s is not in the form this module reads" % ZONE_TABLE)
    months = tuple(int(n) for n in rule.groups())
    return tuple((base, int(bias), int(hour), int(minute)) for base, bias, hour, minute in entries), months


_TABLE, _RULE = _read_table()

# West to east, with the bias (minutes from local time to UTC) of each zone.
ZONES = tuple((base, bias) for base, bias, _, _ in _TABLE)

_MONTHS = ("", "January", "February", "March", "April", "May", "June", "July", "August", "September", "October",
           "November", "December")
_WEEKDAYS = ("Sunday", "Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday")
_OCCURRENCES = ("", "first", "second", "third", "fourth", "last")


def key_name(base):
    return base + " Standard Time"


def key_path(base):
    return KEY + "\\" + key_name(base)


def tzi(bias, standard, daylight, standard_bias=0, daylight_bias=-60):
    """A TZI record. STANDARD and DAYLIGHT are the yearly rules for the start
    of standard and of daylight time: (month, weekday, occurrence, hour,
    minute), weekday 0 being Sunday and occurrence 5 the last."""

    def date(month, weekday, occurrence, hour, minute):
        return struct.pack("<8H", 0, month, weekday, occurrence, hour, minute, 0, 0)

    return struct.pack("<3i", bias, standard_bias, daylight_bias) + date(*standard) + date(*daylight)


def new_tzi(base):
    """The record the patch writes for the zone BASE."""
    _, bias, hour, minute = next(entry for entry in _TABLE if entry[0] == base)
    standard_month, standard_occurrence, daylight_month, daylight_occurrence = _RULE
    return tzi(bias, (standard_month, 0, standard_occurrence, hour, minute),
               (daylight_month, 0, daylight_occurrence, hour, minute))


def old_tzi(bias):
    """The rules before 2007: daylight time from the first Sunday of April to
    the last Sunday of October, changing at 02:00."""
    return tzi(bias, (10, 0, 5, 2, 0), (4, 0, 1, 2, 0))


def reg_text(records, deleted=()):
    """A .reg text that sets the TZI value of each zone in RECORDS (base name
    -> bytes) and deletes the zone keys named in DELETED."""
    lines = ["REGEDIT4", ""]
    for base, data in records.items():
        lines += ["[%s]" % key_path(base), '"TZI"=hex:' + ",".join("%02x" % b for b in data), ""]
    for base in deleted:
        lines += ["[-%s]" % key_path(base), ""]
    return "\n".join(lines)


def old_zones_reg_text(deleted=()):
    """Seeds all seven zones with the rules before 2007."""
    return reg_text({base: old_tzi(bias) for base, bias in ZONES if base not in deleted}, deleted)


def _date_in_words(fields):
    year, month, weekday, day, hour, minute = fields[:6]
    if month == 0:
        return None
    if year != 0:
        return "%04d-%02d-%02d %02d:%02d" % (year, month, day, hour, minute)
    occurrence = _OCCURRENCES[day] if 0 < day < len(_OCCURRENCES) else "occurrence %d of" % day
    weekday_name = _WEEKDAYS[weekday] if weekday < len(_WEEKDAYS) else "weekday %d" % weekday
    month_name = _MONTHS[month] if month < len(_MONTHS) else "month %d" % month
    return "%s %s of %s %02d:%02d" % (occurrence, weekday_name, month_name, hour, minute)


def describe(data):
    """A TZI record in words, e.g. "bias 300, daylight from first Sunday of
    April 02:00 to last Sunday of October 02:00"."""
    if data is None:
        return "no record"
    if len(data) != 44:
        return "not a TZI record (%d bytes)" % len(data)
    bias, _, daylight_bias = struct.unpack_from("<3i", data)
    standard = _date_in_words(struct.unpack_from("<8H", data, 12))
    daylight = _date_in_words(struct.unpack_from("<8H", data, 28))
    if standard is None or daylight is None:
        return "bias %d, no daylight time" % bias
    text = "bias %d, daylight from %s to %s" % (bias, daylight, standard)
    return text if daylight_bias == -60 else text + " (daylight bias %d)" % daylight_bias
