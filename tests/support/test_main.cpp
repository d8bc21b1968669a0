// Every test binary that touches the network runs inside its own private
// network namespace, entered before any thread starts.
#include <gtest/gtest.h>

#include "tests/support/private_network.h"

int main(int argc, char** argv) {
    if (enterPrivateNetwork() != 0) return 1;
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
