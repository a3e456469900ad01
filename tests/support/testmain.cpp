// The main of every test program that reads or writes files in-process:
// wires the layers as the programs do at start-up (without the filter
// stage, so that no test of a layer starts a filter), then runs the tests.
#include <gtest/gtest.h>

#include "pvinit.h"

int main(int argc, char **argv) {
  testing::InitGoogleTest(&argc, argv);
  PvInit(0);
  return RUN_ALL_TESTS();
}
