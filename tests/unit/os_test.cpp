#include <gtest/gtest.h>

#include "app/os.h"
#include "platform/sim/machine.h"

namespace {

// The family, with the older record size tried when the larger one is
// refused (Windows 9x and NT 4 refuse it); 0 when neither query answers.
TEST(GetOsPlatformTest, ReadsFamilyWithFallbackSize) {
  const int cases[][4] = {{2, 0, 0, 2}, {3, 0, 0, 0}, {1, 1, 0, 1}, {2, 1, 0, 2}, {2, 0, 1, 0}};
  for (const auto& c : cases) {
    sim::Machine machine;
    machine.version.platformId = static_cast<win::DWORD>(c[0]);
    if (c[1] != 0) {
      machine.faults.push_back({"GetVersionExA", win::ERROR_INSUFFICIENT_BUFFER, "156"});  // the larger record
    }
    if (c[2] != 0) {
      machine.faults.push_back({"GetVersionExA", win::ERROR_INSUFFICIENT_BUFFER});  // every query
    }
    EXPECT_EQ(GetOsPlatform(), c[3]) << c[0] << c[1] << c[2];
  }
}

}  // namespace
