#include <gtest/gtest.h>

#include "TestSupport.h"

using namespace korvat_test;

TEST(DllLoad, LoadsWithAllExportsAndNoErrorRecorded)
{
    KorvatDll dll;
    ASSERT_TRUE(dll.loaded());
    ASSERT_NE(dll.get_last_error, nullptr);
    ASSERT_NE(dll.stop_logging, nullptr);
    EXPECT_EQ(dll.lastError(), std::make_pair(0u, 0u));
}
