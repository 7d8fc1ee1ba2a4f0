#include <gtest/gtest.h>

#include "support/run.h"

namespace tarnwick::testing {
TEST(Placeholder, Builds) { SUCCEED(); }
}
