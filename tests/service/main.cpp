// The service's tests run in a network namespace of the program's own.
#include <gtest/gtest.h>

#include <cstdio>

#include "tests/service/service_world.h"

int main(int argc, char **argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    if (!service_test::EnterPrivateNetwork()) {
        std::fprintf(stderr, "the service's tests need root: they make a network namespace and veth pairs\n");
        return 1;
    }
    return RUN_ALL_TESTS();
}
