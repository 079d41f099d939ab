// The program's end-to-end tests run in a network namespace of their own, with only loopback up,
// so that port 1080 is theirs whatever else runs on the machine. The namespace is entered before
// any thread starts; the desktop, the origins, curl and the program all live inside it.

#include <cstdio>

#include <gtest/gtest.h>

#include "support/PrivateNetwork.h"

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (!::testing::GTEST_FLAG(list_tests) && !test::EnterPrivateNetwork()) {
    std::perror("the tests' network namespace could not be made");
    return 1;
  }
  return RUN_ALL_TESTS();
}
