#include <gtest/gtest.h>
#include "runtime/internal_failure.hpp"
TEST(InternalFailure, CarriesMessage) {
    corvalinth::InternalFailure f("cannot sample empty range");
    EXPECT_STREQ(f.what(), "cannot sample empty range");
}
