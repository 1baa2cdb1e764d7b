// Runs the patch as a process on the simulated machine and sets up what a
// site and a Windows registry hold.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/sim/machine.h"

// Runs dstpatch with these arguments (after the program's own name) as a
// fresh process on machine; returns its exit status.
int RunProgram(sim::Machine& machine, const std::vector<std::string>& args);

// The NT-family time-zone database key of a zone key name.
std::string NtZoneKey(const std::string& keyName);
std::string ZoneKey9x(const std::string& baseName);
extern const char* const kZoneBaseNames[7];

// 44 TZI bytes with the rules in force before 2007: daylight time from the
// first Sunday of April to the last Sunday of October, at 02:00.
std::vector<uint8_t> OldTzi(int32_t bias);

// A machine with a valid site at C:\Site (data\pelio.ini, tmp\) and the seven
// US/Canada zone keys holding the old rules.
class SimTest : public ::testing::Test {
 protected:
  SimTest();
  void SeedZones(bool windows9x = false);
  // The bytes of the current run log of the site.
  std::string SiteLog() const;
  std::vector<std::string> OpenHandles() const { return machine.handles.Open(); }

  sim::Machine machine;
  const std::string root = "C:\\Site";
};
