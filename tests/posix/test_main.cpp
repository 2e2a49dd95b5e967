// Entry of the POSIX test binary. With --child=WHAT it acts as the child process a test started
// (see child_modes.h) instead of running tests.
#include <gtest/gtest.h>

#include <cstring>

#include "tests/posix/child_modes.h"

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], "--child=", 8) == 0) return qelrestore::test::RunChild(argc, argv, i);
  }
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
