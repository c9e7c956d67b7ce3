// Test main for every test program: the simulated driver must be loaded before any test
// talks to it, and a prefix may have shut it down since the last program ran.
#include <gtest/gtest.h>

#include <cstdio>

#include "SimControl.h"

int main(int argc, char** argv)
{
    testing::InitGoogleTest(&argc, argv);
    const uint32_t error = SimDriverService::EnsureRunning();
    if (error != 0) {
        std::fprintf(stderr, "The simulated driver could not be started (error %u).\n", error);
        return 2;
    }
    return RUN_ALL_TESTS();
}
