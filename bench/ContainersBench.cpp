// TMap insert and find at 10, 1 000 and 100 000 keys; TArray appends.
#include <random>
#include <vector>

#include <benchmark/benchmark.h>

#include "Containers/TArray.h"
#include "Containers/TMap.h"
#include "System/MemoryManager/MemoryManager.h"

using TarnRenderer::TArray;
using TarnRenderer::TMap;

namespace {

std::vector<unsigned> ShuffledKeys(size_t uiCount)
{
    std::vector<unsigned> kKeys(uiCount);
    std::mt19937 kRandom(42);
    for (unsigned& uiKey : kKeys)
        uiKey = kRandom();
    return kKeys;
}

// Builds a whole map of N random keys per iteration: the cost of filling a
// map during loading, per inserted key.
void MapInsert(benchmark::State& kState)
{
    const std::vector<unsigned> kKeys = ShuffledKeys(static_cast<size_t>(kState.range(0)));
    for (auto _ : kState)
    {
        TMap<unsigned, void*> kMap;
        for (unsigned uiKey : kKeys)
            kMap.Insert(uiKey, nullptr);
        benchmark::DoNotOptimize(kMap.GetSize());
    }
    kState.SetItemsProcessed(kState.iterations() * kState.range(0));
}

void MapFind(benchmark::State& kState)
{
    const std::vector<unsigned> kKeys = ShuffledKeys(static_cast<size_t>(kState.range(0)));
    TMap<unsigned, void*> kMap;
    for (unsigned uiKey : kKeys)
        kMap.Insert(uiKey, nullptr);
    size_t uiNext = 0;
    for (auto _ : kState)
    {
        benchmark::DoNotOptimize(kMap.Find(kKeys[uiNext]));
        uiNext = uiNext + 1 == kKeys.size() ? 0 : uiNext + 1;
    }
    kState.SetItemsProcessed(kState.iterations());
}

void ArrayAdd(benchmark::State& kState)
{
    for (auto _ : kState)
    {
        TArray<int> kArray;
        for (int i = 0; i < kState.range(0); ++i)
            kArray.Add() = i;
        benchmark::DoNotOptimize(kArray.GetData());
    }
    kState.SetItemsProcessed(kState.iterations() * kState.range(0));
}

}  // namespace

BENCHMARK(MapInsert)->Arg(10)->Arg(1000)->Arg(100000)->Unit(benchmark::kMicrosecond);
BENCHMARK(MapFind)->Arg(10)->Arg(1000)->Arg(100000);
BENCHMARK(ArrayAdd)->Arg(1000)->Arg(100000)->Unit(benchmark::kMicrosecond);
