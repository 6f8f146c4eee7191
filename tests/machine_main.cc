// The main of the machine-services tests: runs the tests, or, started with
// kChildFlag, the other process of a test that crosses a process boundary.
#include <cstring>

#include <gtest/gtest.h>

#include "tests/child_process.h"

int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], tbx_test::kChildFlag) == 0)
        return tbx_test::ChildMain(argv[2], argv[3]);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
