#include <gtest/gtest.h>

#include "attacks.h"

int main(int argc, char** argv) {
    velmar::init_attacks();
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
