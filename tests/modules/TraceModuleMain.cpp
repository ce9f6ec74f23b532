// The trace module tests: one program that is both the parent of a test and, started with the
// child arguments, the process that runs the test's checks against a fresh module.
#include <gtest/gtest.h>

#include "TraceModuleHarness.h"

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    vemo::test::ParseRole();
    return vemo::test::ChildExitCode(RUN_ALL_TESTS());
}
