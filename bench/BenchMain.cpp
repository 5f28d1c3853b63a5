// Main of every benchmark program: runs the benchmarks, then shuts the
// memory manager down; a leak fails the program.
#include <benchmark/benchmark.h>

#include "System/MemoryManager/MemoryManager.h"

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return Common::Mem::CMemoryManager::DestroyInstance() == 0 ? 0 : 1;
}
