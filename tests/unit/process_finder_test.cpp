#include "site/process_finder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>

#include "platform/sim/machine.h"

namespace {

enum class Road { Snapshot, SystemQuery };

using OnClose = sim::Behaviour::OnClose;
constexpr win::DWORD kUnset = 0xDEAD;

// Without Process32Next the snapshot set is incomplete and the finder falls
// back to the system query.
void Use(sim::Machine& machine, Road road) {
  if (road == Road::SystemQuery) {
    machine.modules.RemoveExport("kernel32", "Process32Next");
  }
}

class ProcessFinderTest : public ::testing::Test {
 protected:
  void Use(Road road) { ::Use(machine, road); }
  std::vector<std::string> CallsOf(std::initializer_list<const char*> prefixes) const {
    std::vector<std::string> found;
    for (const auto& call : machine.calls) {
      if (std::any_of(prefixes.begin(), prefixes.end(), [&](const char* p) { return call.rfind(p, 0) == 0; })) {
        found.push_back(call);
      }
    }
    return found;
  }
  void TearDown() override {
    EXPECT_EQ(machine.handles.Open(), std::vector<std::string>{});
    EXPECT_EQ(machine.heap.Blocks(), 0u);
    EXPECT_EQ(machine.modules.TotalLoads(), 0);
  }

  sim::Machine machine;
};

struct NameCase {
  const char* name;
  Road road;
  const char* image;
  const char* wanted;
  bool found;
};

void PrintTo(const NameCase& c, std::ostream* os) { *os << c.name; }

class ProcessNameTest : public ProcessFinderTest, public ::testing::WithParamInterface<NameCase> {};

TEST_P(ProcessNameTest, MatchesWholeNameWithoutRegardToAsciiCase) {
  const NameCase& c = GetParam();
  Use(c.road);
  machine.processes.Add("other.exe");
  const win::DWORD id = machine.processes.Add(c.image).id;
  win::DWORD found = kUnset;
  {
    ProcessFinder finder;
    EXPECT_EQ(finder.FindProcess(c.wanted, found).valid(), c.found);
    finder.ReleaseLibraries();
  }
  EXPECT_EQ(found, c.found ? id : kUnset);
  EXPECT_EQ(machine.CallsStartingWith("LoadLibraryA(ntdll.dll)").size(), c.road == Road::SystemQuery ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Roads, ProcessNameTest,
    ::testing::Values(
        NameCase{"SnapshotStripsPath", Road::Snapshot, "C:\\Site\\bin\\PELIOMGR.EXE", "PelioMgr.exe", true},
        NameCase{"SnapshotCase", Road::Snapshot, "peliomgr.exe", "PelioMgr.exe", true},
        NameCase{"SnapshotLonger", Road::Snapshot, "PelioMgr.exe.old", "PelioMgr.exe", false},
        NameCase{"SnapshotPathEndsInSlash", Road::Snapshot, "C:\\PelioMgr.exe\\", "PelioMgr.exe", false},
        NameCase{"QueryCase", Road::SystemQuery, "PELIOMGR.EXE", "PelioMgr.exe", true},
        NameCase{"QueryKeepsPath", Road::SystemQuery, "C:\\Site\\bin\\PelioMgr.exe", "PelioMgr.exe", false},
        NameCase{"QueryLatin1Converted", Road::SystemQuery, "\xE9t\xE9.exe", "\xE9t\xE9.exe", true},
        NameCase{"QueryFoldsOnlyAtoZ", Road::SystemQuery, "\xC9T\xC9.EXE", "\xE9t\xE9.exe", false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ProcessFinderTest, OnlyTheQueryRoadNamesTheIdleProcessIdle) {
  for (Road road : {Road::Snapshot, Road::SystemQuery}) {
    Use(road);
    win::DWORD found = kUnset;
    ProcessFinder finder;
    // The idle process is found but cannot be opened.
    EXPECT_FALSE(finder.FindProcess("Idle", found).valid());
    EXPECT_EQ(found, road == Road::SystemQuery ? 0u : kUnset);
  }
  EXPECT_EQ(machine.CallsStartingWith("OpenProcess"), std::vector<std::string>{"OpenProcess(0x100001, 1, 0)"});
}

class FinderRoadTest : public ProcessFinderTest, public ::testing::WithParamInterface<Road> {};

TEST_P(FinderRoadTest, OnlyTheFirstOfTwoSameNamedProcessesIsFoundAndClosed) {
  Use(GetParam());
  sim::Behaviour closes;
  closes.windows = 1;
  sim::Process& first = machine.processes.Add("PelioMgr.exe", closes);
  sim::Process& second = machine.processes.Add("PelioMgr.exe", closes);
  ProcessFinder finder;
  win::DWORD found = kUnset;
  EXPECT_TRUE(finder.FindProcess("PelioMgr.exe", found).valid());
  EXPECT_EQ(found, first.id);
  EXPECT_TRUE(finder.CloseProcess("PelioMgr.exe"));
  EXPECT_FALSE(first.running);
  EXPECT_TRUE(second.running);
  EXPECT_EQ(second.closeRequests, 0);
  finder.ReleaseLibraries();
}

TEST_P(FinderRoadTest, SearchStopsAtAFirstMatchThatCannotBeOpened) {
  Use(GetParam());
  sim::Behaviour denied;
  denied.denyOpen = true;
  const win::DWORD id = machine.processes.Add("PelioMgr.exe", denied).id;
  machine.processes.Add("PelioMgr.exe");
  ProcessFinder finder;
  win::DWORD found = kUnset;
  EXPECT_FALSE(finder.FindProcess("PelioMgr.exe", found).valid());
  EXPECT_EQ(found, id);
  EXPECT_EQ(machine.CallsStartingWith("OpenProcess").size(), 1u);
  EXPECT_FALSE(finder.CloseProcess("PelioMgr.exe"));
  EXPECT_TRUE(machine.CallsStartingWith("EnumWindows").empty());
}

INSTANTIATE_TEST_SUITE_P(Roads, FinderRoadTest, ::testing::Values(Road::Snapshot, Road::SystemQuery));

TEST_F(ProcessFinderTest, QueryDoublesTheBufferAndFreesEachRejectedBlock) {
  Use(Road::SystemQuery);
  machine.processes.queryNeededSize = 100000;
  const win::DWORD id = machine.processes.Add("PelioMgr.exe").id;
  ProcessFinder finder;
  win::DWORD found = kUnset;
  EXPECT_TRUE(finder.FindProcess("PelioMgr.exe", found).valid());
  EXPECT_EQ(found, id);
  const std::vector<std::string> expected = {
      "HeapAlloc(32768)",  "ZwQuerySystemInformation(5, 32768)",  "HeapFree(32768)",
      "HeapAlloc(65536)",  "ZwQuerySystemInformation(5, 65536)",  "HeapFree(65536)",
      "HeapAlloc(131072)", "ZwQuerySystemInformation(5, 131072)", "HeapFree(131072)"};
  EXPECT_EQ(CallsOf({"Heap", "ZwQuery"}), expected);
}

TEST_F(ProcessFinderTest, FailedListingFindsNothingAndLeavesNothingOpen) {
  struct Failure {
    const char* name;
    Road road;
    void (*arrange)(sim::Machine&);
  };
  const Failure failures[] = {
      {"snapshot refused", Road::Snapshot, [](sim::Machine& m) { m.processes.snapshotFails = true; }},
      {"allocation fails after one mismatch", Road::SystemQuery,
       [](sim::Machine& m) {
         m.processes.queryNeededSize = 40000;
         m.heap.limit = 32768;
       }},
      {"no kernel32", Road::Snapshot, [](sim::Machine& m) { m.modules.SetPresent("kernel32", false); }},
      {"no ntdll", Road::SystemQuery, [](sim::Machine& m) { m.modules.SetPresent("ntdll", false); }},
      {"query set incomplete", Road::SystemQuery,
       [](sim::Machine& m) { m.modules.RemoveExport("kernel32", "HeapFree"); }},
  };
  for (const Failure& f : failures) {
    SCOPED_TRACE(f.name);
    sim::Machine machine;
    ::Use(machine, f.road);
    machine.processes.Add("PelioMgr.exe");
    f.arrange(machine);
    {
      ProcessFinder finder;
      win::DWORD found = kUnset;
      EXPECT_FALSE(finder.FindProcess("PelioMgr.exe", found).valid());
      EXPECT_EQ(found, kUnset);
      EXPECT_FALSE(finder.CloseProcess("PelioMgr.exe"));
    }
    EXPECT_TRUE(machine.handles.Open().empty());
    EXPECT_EQ(machine.heap.Blocks(), 0u);
    EXPECT_EQ(machine.modules.TotalLoads(), 0);
  }
}

TEST_F(ProcessFinderTest, BindsTheSnapshotSetWithoutNtdllAndReleasesEachModuleOnce) {
  {
    ProcessFinder finder;
    EXPECT_EQ(machine.CallsStartingWith("LoadLibraryA"), std::vector<std::string>{"LoadLibraryA(Kernel32)"});
    finder.ReleaseLibraries();
  }
  EXPECT_EQ(machine.CallsStartingWith("FreeLibrary").size(), 1u);

  Use(Road::SystemQuery);
  machine.calls.clear();
  {
    ProcessFinder finder;
    EXPECT_EQ(machine.CallsStartingWith("LoadLibraryA"),
              (std::vector<std::string>{"LoadLibraryA(Kernel32)", "LoadLibraryA(ntdll.dll)"}));
    finder.ReleaseLibraries();
    // Kernel32 first, then ntdll.
    EXPECT_EQ(machine.CallsStartingWith("FreeLibrary"),
              (std::vector<std::string>{"FreeLibrary(0x10000000)", "FreeLibrary(0x12000000)"}));
  }
  EXPECT_EQ(machine.CallsStartingWith("FreeLibrary").size(), 2u);

  {
    ProcessFinder finder;  // never released by hand: the destructor gives the modules back
  }
}

struct CloseCase {
  const char* name;
  sim::Behaviour behaviour;
  bool result;
  bool terminated;
  bool running;
  win::DWORD elapsed;
  int closeRequests;
};

void PrintTo(const CloseCase& c, std::ostream* os) { *os << c.name; }

sim::Behaviour Shows(int windows, OnClose onClose, win::DWORD delay = 0, bool refuseTerminate = false) {
  sim::Behaviour b;
  b.windows = windows;
  b.onClose = onClose;
  b.closeDelay = delay;
  b.refuseTerminate = refuseTerminate;
  return b;
}

class ProcessCloseTest : public ProcessFinderTest, public ::testing::WithParamInterface<CloseCase> {};

TEST_P(ProcessCloseTest, ClosesPolitelyThenTerminatesAfter5000ms) {
  const CloseCase& c = GetParam();
  machine.processes.Add("Notepad.exe", Shows(1, OnClose::EndAtOnce));
  sim::Process& p = machine.processes.Add("PelioMgr.exe", c.behaviour);
  const win::DWORD start = machine.clock.ticks;
  ProcessFinder finder;
  EXPECT_EQ(finder.CloseProcess("PelioMgr.exe"), c.result);
  finder.ReleaseLibraries();
  EXPECT_EQ(p.terminated, c.terminated);
  EXPECT_EQ(p.running, c.running);
  EXPECT_EQ(machine.clock.Elapsed(start), c.elapsed);
  EXPECT_EQ(p.closeRequests, c.closeRequests);
  EXPECT_EQ(machine.processes.Named("Notepad.exe")[0]->closeRequests, 0);
  EXPECT_EQ(machine.CallsStartingWith("WaitForSingleObject"),
            std::vector<std::string>{"WaitForSingleObject(" + std::to_string(p.id) + ", 5000)"});
  if (c.terminated) {
    EXPECT_EQ(p.exitCode, 0u);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Behaviours, ProcessCloseTest,
    ::testing::Values(CloseCase{"EndsOnClose", Shows(2, OnClose::EndAtOnce), true, false, false, 0, 2},
                      CloseCase{"EndsWithinWait", Shows(1, OnClose::EndAfterDelay, 4999), true, false, false, 4999, 1},
                      CloseCase{"EndsTooLate", Shows(1, OnClose::EndAfterDelay, 5001), true, true, false, 5000, 1},
                      CloseCase{"IgnoresClose", Shows(1, OnClose::Ignore), true, true, false, 5000, 1},
                      CloseCase{"NoWindows", Shows(0, OnClose::EndAtOnce), true, true, false, 5000, 0},
                      CloseCase{"TerminationRefused", Shows(1, OnClose::Ignore, 0, true), false, false, true, 5000, 1}),
    [](const auto& info) { return std::string(info.param.name); });

struct StartCase {
  const char* name;
  std::optional<sim::Program> program;  // at C:\Site\bin\PelioMgr.exe
  bool trap;                            // C:\My.exe exists too
  const char* commandLine;
  win::BOOL result;
  win::DWORD elapsed;
  const char* started;  // image of the process started, or ""
};

void PrintTo(const StartCase& c, std::ostream* os) { *os << c.name; }

sim::Program Runs(std::optional<win::DWORD> runFor, win::DWORD exitCode = 0, win::DWORD failCode = 0) {
  sim::Program program;
  program.behaviour.runFor = runFor;
  program.behaviour.exitCode = exitCode;
  program.failCode = failCode;
  return program;
}

class ProcessStartTest : public ProcessFinderTest, public ::testing::WithParamInterface<StartCase> {};

TEST_P(ProcessStartTest, StartsTheCommandLineUnchangedAndWaitsAtMostTheTimeOut) {
  const StartCase& c = GetParam();
  if (c.program) {
    machine.processes.AddProgram("C:\\My Site\\bin\\PelioMgr.exe", *c.program);
  }
  if (c.trap) {
    machine.processes.AddProgram("C:\\My.exe", Runs(std::nullopt));
  }
  const win::DWORD start = machine.clock.ticks;
  EXPECT_EQ(StartProcessAndWait(c.commandLine, 10000) != 0, c.result != 0);
  EXPECT_EQ(machine.clock.Elapsed(start), c.elapsed);
  EXPECT_EQ(machine.processes.commandLines, std::vector<std::string>{c.commandLine});
  for (const char* image : {"PelioMgr.exe", "My.exe"}) {
    EXPECT_EQ(machine.processes.Named(image).size(), std::string(image) == c.started ? 1u : 0u) << image;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Programs, ProcessStartTest,
    ::testing::Values(
        StartCase{"Missing", std::nullopt, false, "\"C:\\My Site\\bin\\PelioMgr.exe\"  /QUORDIR C:\\My Site", 0, 0, ""},
        StartCase{"KeepsRunning", Runs(std::nullopt), false, "\"C:\\My Site\\bin\\PelioMgr.exe\"  /QUORDIR C:\\My Site",
                  1, 10000, "PelioMgr.exe"},
        StartCase{"ExitsAtOnceWithError", Runs(0, 3), false, "\"C:\\My Site\\bin\\PelioMgr.exe\" /x", 1, 0,
                  "PelioMgr.exe"},
        StartCase{"ExitsAfterAWhile", Runs(2500), false, "\"C:\\My Site\\bin\\PelioMgr.exe\"", 1, 2500, "PelioMgr.exe"},
        StartCase{"CannotBeCreated", Runs(0, 0, 193), false, "\"C:\\My Site\\bin\\PelioMgr.exe\"", 0, 0, ""},
        // Unquoted, a path with a blank runs the first program its prefix names.
        StartCase{"UnquotedPathRunsAnother", Runs(std::nullopt), true,
                  "C:\\My Site\\bin\\PelioMgr.exe  /QUORDIR C:\\My Site", 1, 10000, "My.exe"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
