// Test main shared by every suite: runs the tests, then shuts the memory
// manager down. A block of the engine's memory still alive at that point is a
// leak, and fails the run even when every test passed.
#include <cstdio>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "System/MemoryManager/MemoryManager.h"

int main(int argc, char** argv)
{
    testing::InitGoogleMock(&argc, argv);
    int iResult = RUN_ALL_TESTS();
    const uint32 uiLeaks = Common::Mem::CMemoryManager::DestroyInstance();
    if (uiLeaks != 0)
    {
        fprintf(stderr, "FAILED: %u block(s) of engine memory leaked\n", uiLeaks);
        iResult = 1;
    }
    return iResult;
}
