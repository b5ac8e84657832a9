// The system's 8-bit code page as the program reaches it through the platform.
#include <gtest/gtest.h>

#include <string>

#include "runtime/codepage.h"

TEST(SystemCodePage, EveryByteSurvivesTheTripThroughText) {
    std::string all;
    for (int b = 0; b < 256; ++b) all.push_back(static_cast<char>(b));
    EXPECT_EQ(runtime::ToAnsi(runtime::FromAnsi(all)), all);
}
