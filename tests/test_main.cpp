// Every test program's main: GoogleTest, with the support library's
// assertions made failures of the running test, so that a test breaking a
// thread or ownership rule that a header states fails, instead of printing
// a line nobody reads.
#include <gtest/gtest.h>

#include "support/assert.h"

namespace {

void failTheTest(const char* expression, const char* source, const char* file, int line) {
  ADD_FAILURE_AT(file, line) << "assertion failed (" << source << "): " << expression;
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  Quorlin::setAssertHandler(&failTheTest);
  return RUN_ALL_TESTS();
}
