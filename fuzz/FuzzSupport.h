#pragma once

// What every fuzz target shares.
#include <cstdio>
#include <cstdlib>

#include "Core/Types.h"
#include "System/MemoryManager/MemoryManager.h"
#include "Utils/assertion.h"

namespace TarnFuzz {

// A fuzzer provokes thousands of assertion reports: they are expected (every
// failure is reported and returned), so the targets swallow them instead of
// printing each one. Log lines still go to standard output; scripts/fuzz
// closes it (-close_fd_mask=1).
inline void IgnoreReport(const char*, int, const char*, void*)
{
}

inline void QuietReports()
{
    Common::SetAssertHandler(&IgnoreReport, nullptr);
}

// Engine memory is out of the leak checker's sight: the memory manager keeps
// every live block on its lists, so nothing it hands out is ever unreachable.
// Targets whose inputs must leave no engine memory behind compare the number
// of live blocks instead; more blocks than allowed are listed (on standard
// output, through the debug log) and end the run as a crash of that input.
inline uint32 CountEngineBlocks()
{
    return Common::Mem::CMemoryManager::GetInstance()->GetNumAllocations();
}

inline void ExpectEngineBlocksAtMost(uint32 uiAllowed, const char* pWhen)
{
    const uint32 uiBlocks = CountEngineBlocks();
    if (uiBlocks <= uiAllowed)
        return;
    fprintf(stderr, "engine memory leaked %s: %u blocks live, %u expected\n", pWhen, uiBlocks, uiAllowed);
    Common::Mem::CMemoryManager::GetInstance()->DisplayAllocsByFile();
    abort();
}

// Runs one input twice. The first run may fill what is meant to last (the
// memory tags' registry of names, first seen on that run); the second must
// leave exactly the engine blocks it found, so that an input that leaks
// engine memory on every run is caught.
template <class F> void RunTwiceCheckingEngineMemory(F&& fRun)
{
    fRun();
    const uint32 uiBlocks = CountEngineBlocks();
    fRun();
    ExpectEngineBlocksAtMost(uiBlocks, "by the input");
}

}  // namespace TarnFuzz
