#include "site/process_finder.h"

#include <gtest/gtest.h>

#include "platform/sim/machine.h"
#include "tests/unit/harness.h"

namespace {

using OnClose = sim::Behaviour::OnClose;
constexpr win::DWORD kUnset = 0xDEAD;

// Without Process32Next the snapshot set is incomplete and the finder falls
// back to the system query.
enum class Road { Snapshot, SystemQuery };

void Use(sim::Machine& machine, Road road) {
  if (road == Road::SystemQuery) {
    machine.modules.RemoveExport("kernel32", "Process32Next");
  }
}

class ProcessFinderTest : public ::testing::Test {
 protected:
  void TearDown() override { ExpectNothingLeftOpen(machine); }
  // The id FindProcess gives for name, or kUnset; true when it opened the process.
  bool Find(const char* name, win::DWORD& found) {
    found = kUnset;
    ProcessFinder finder;  // its destructor gives the modules back
    return finder.FindProcess(name, found).valid();
  }

  sim::Machine machine;
};

struct NameCase {
  const char* name;
  const char* image;
  const char* wanted;
  Road road;
  bool found;
};

class ProcessNameTest : public ProcessFinderTest, public ::testing::WithParamInterface<NameCase> {};

// Of two processes with the name, the first is the one found.
TEST_P(ProcessNameTest, MatchesWholeNameWithoutRegardToAsciiCase) {
  const NameCase& c = GetParam();
  Use(machine, c.road);
  machine.processes.Add("other.exe");
  const win::DWORD id = machine.processes.Add(c.image).id;
  machine.processes.Add(c.image);
  win::DWORD found = kUnset;
  EXPECT_EQ(Find(c.wanted, found), c.found);
  EXPECT_EQ(found, c.found ? id : kUnset);
  EXPECT_EQ(machine.CallsStartingWith("LoadLibraryA(ntdll.dll)").size(), c.road == Road::SystemQuery ? 1u : 0u);
}

const NameCase kProcessNameCases[] = {
    {"SnapshotStripsPath", "C:\\Site\\bin\\PELIOMGR.EXE", "PelioMgr.exe", Road::Snapshot, true},
    {"SnapshotWholeName", "PelioMgr.exe.old", "PelioMgr.exe", Road::Snapshot, false},
    {"QueryCase", "PELIOMGR.EXE", "PelioMgr.exe", Road::SystemQuery, true},
    {"QueryKeepsPath", "C:\\Site\\bin\\PelioMgr.exe", "PelioMgr.exe", Road::SystemQuery, false},
    {"QueryLatin1Converted", "\xE9t\xE9.exe", "\xE9t\xE9.exe", Road::SystemQuery, true},
    {"QueryFoldsOnlyAtoZ", "\xC9T\xC9.EXE", "\xE9t\xE9.exe", Road::SystemQuery, false},
};

INSTANTIATE_TEST_SUITE_P(Roads, ProcessNameTest, ::testing::ValuesIn(kProcessNameCases), kCaseName);

TEST_F(ProcessFinderTest, QueryDoublesTheBufferAndFreesEachRejectedBlock) {
  Use(machine, Road::SystemQuery);
  machine.processes.queryNeededSize = 100000;
  const win::DWORD id = machine.processes.Add("PelioMgr.exe").id;
  win::DWORD found = kUnset;
  EXPECT_TRUE(Find("PelioMgr.exe", found));
  EXPECT_EQ(found, id);
  std::string calls;
  for (const auto& call : machine.calls) {
    calls += call.rfind("Heap", 0) == 0 || call.rfind("ZwQuery", 0) == 0 ? call + "|" : "";
  }
  EXPECT_EQ(calls,
            "HeapAlloc(32768)|ZwQuerySystemInformation(32768)|HeapFree(32768)|HeapAlloc(65536)|"
            "ZwQuerySystemInformation(65536)|HeapFree(65536)|HeapAlloc(131072)|ZwQuerySystemInformation(131072)|"
            "HeapFree(131072)|");
}

TEST(ProcessListingTest, FailureFindsNothingAndLeavesNothingOpen) {
  const struct {
    const char* name;
    Road road;
    void (*arrange)(sim::Machine&);
  } failures[] = {
      {"allocation fails after one mismatch", Road::SystemQuery,
       [](sim::Machine& m) {
         m.processes.queryNeededSize = 40000;
         m.faults = {{"HeapAlloc", 8, "65536"}};
       }},
      {"no ntdll", Road::SystemQuery, [](sim::Machine& m) { m.modules.SetPresent("ntdll", false); }},
      {"query set incomplete", Road::SystemQuery,
       [](sim::Machine& m) { m.modules.RemoveExport("kernel32", "HeapFree"); }},
  };
  for (const auto& f : failures) {
    SCOPED_TRACE(f.name);
    sim::Machine machine;
    Use(machine, f.road);
    machine.processes.Add("PelioMgr.exe");
    f.arrange(machine);
    {
      ProcessFinder finder;
      win::DWORD found = kUnset;
      EXPECT_FALSE(finder.FindProcess("PelioMgr.exe", found).valid());
      EXPECT_EQ(found, kUnset);
      EXPECT_EQ(finder.OpenError(), 0u);
    }
    ExpectNothingLeftOpen(machine);
  }
}

// WM_CLOSE to each window of the process and no other, then after 5000 ms
// termination with exit code 0, which counts once the process has ended.
TEST_F(ProcessFinderTest, ClosesPolitelyThenTerminatesAfter5000ms) {
  sim::Behaviour behaviour;
  behaviour.windows = 1;
  const sim::Process& bystander = machine.processes.Add("Notepad.exe", behaviour);
  const struct {
    int windows;
    OnClose onClose;
    bool terminateHangs;
    win::DWORD error;
    bool terminated;
    win::DWORD elapsed;
  } cases[] = {{2, OnClose::EndAtOnce, false, 0, false, 0},  // ends on WM_CLOSE
               {0, OnClose::EndAtOnce, false, 0, true, 5000},
               {1, OnClose::Ignore, true, win::WAIT_TIMEOUT, true, 5000 + ProcessFinder::kTerminateWait}};
  for (const auto& c : cases) {
    behaviour.windows = c.windows;
    behaviour.onClose = c.onClose;
    behaviour.terminateHangs = c.terminateHangs;
    const sim::Process& p = machine.processes.Add("PelioMgr.exe", behaviour);
    const win::UniqueHandle process(win::OpenProcess(win::SYNCHRONIZE | win::PROCESS_TERMINATE, win::FALSE, p.id));
    const win::DWORD start = machine.clock.ticks;
    EXPECT_EQ(ProcessFinder::CloseProcess(process.get(), p.id), c.error);
    EXPECT_EQ(p.running, c.error != 0);
    EXPECT_EQ(p.terminated, c.terminated);
    EXPECT_EQ(p.closeRequests, c.windows);
    EXPECT_EQ(machine.clock.Elapsed(start), c.elapsed);
    EXPECT_EQ(p.exitCode, c.error == 0 ? 0u : win::STILL_ACTIVE);
  }
  EXPECT_EQ(bystander.closeRequests, 0);
}

}  // namespace
