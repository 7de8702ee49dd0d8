// A test program that fails a check and then dies of an access violation, as
// a buffer overrun in a real test program would: the suite must report it.
#include <gtest/gtest.h>

#include <cstdio>

TEST(CrashProbe, FailsACheck)
{
    EXPECT_EQ(1, 2) << "deliberate failure";
}

TEST(CrashProbe, WritesThroughANullPointer)
{
    std::printf("crash_probe: about to fault\n");
    std::fflush(stdout);
    volatile int* volatile nowhere = nullptr;
    *nowhere = 42;
    ADD_FAILURE() << "still running after the fault";
}
