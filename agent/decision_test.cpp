#include "agent/decision.h"

#include <gtest/gtest.h>

namespace {
TEST(Decision, Placeholder) {}
} // namespace
