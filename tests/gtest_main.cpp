// The test programs' main: exit code 77, which ctest counts as skipped, when no test failed and one was
// skipped (GTEST_SKIP), so that a test that did not run is never counted as passed.
#include <gtest/gtest.h>

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS() != 0 ? 1 : testing::UnitTest::GetInstance()->skipped_test_count() > 0 ? 77 : 0;
}
