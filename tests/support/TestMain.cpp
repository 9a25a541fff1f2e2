// The main of the test programs: GoogleTest with GoogleMock, and the
// service steps pointed at a fake before any test runs.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "FakeServiceControl.h"

int main(int argc, char** argv) {
  ::testing::InitGoogleMock(&argc, argv);
  UseFakeServiceControlByDefault();
  return RUN_ALL_TESTS();
}
