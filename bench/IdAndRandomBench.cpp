// Throughput of string identifiers and of the random generator.
#include <vector>

#include <benchmark/benchmark.h>

#include "Math/SFMT/SFMT.h"
#include "Utils/idfromstring.h"

namespace {

void BM_MurmurHash2(benchmark::State& kState)
{
    const size_t uiSize = static_cast<size_t>(kState.range(0));
    std::vector<uint8> kBytes(uiSize);
    for (size_t i = 0; i < uiSize; ++i)
        kBytes[i] = static_cast<uint8>(i * 7u + 3u);
    uint32 uiSeed = 0;
    for (auto _ : kState)
    {
        uiSeed = MurmurHash2(kBytes.data(), uiSize, uiSeed);
        benchmark::DoNotOptimize(uiSeed);
    }
    kState.SetBytesProcessed(static_cast<int64_t>(kState.iterations()) * static_cast<int64_t>(uiSize));
}
BENCHMARK(BM_MurmurHash2)->Arg(16)->Arg(256)->Arg(4096)->Arg(1 << 20);

void BM_GenerateUIntIdFromString(benchmark::State& kState)
{
    // A typical resource name of 30 characters.
    const char* pName = "Characters/Hero/Anim/WalkLeft1";
    for (auto _ : kState)
    {
        benchmark::DoNotOptimize(pName);
        benchmark::DoNotOptimize(GenerateUIntIdFromString(pName));
    }
    kState.SetItemsProcessed(static_cast<int64_t>(kState.iterations()));
}
BENCHMARK(BM_GenerateUIntIdFromString);

void BM_SfmtNextUInt32(benchmark::State& kState)
{
    Math::CSfmt19937 kGenerator(1234);
    for (auto _ : kState)
        benchmark::DoNotOptimize(kGenerator.NextUInt32());
    kState.SetItemsProcessed(static_cast<int64_t>(kState.iterations()));
}
BENCHMARK(BM_SfmtNextUInt32);

void BM_SfmtRandomRange(benchmark::State& kState)
{
    Math::CSfmt19937 kGenerator(1234);
    for (auto _ : kState)
        benchmark::DoNotOptimize(kGenerator.RandomRange(-100, 100));
    kState.SetItemsProcessed(static_cast<int64_t>(kState.iterations()));
}
BENCHMARK(BM_SfmtRandomRange);

// The process-wide generator, through its lock.
void BM_Random32(benchmark::State& kState)
{
    Math::SeedRandom(1234);
    for (auto _ : kState)
        benchmark::DoNotOptimize(Math::Random32());
    kState.SetItemsProcessed(static_cast<int64_t>(kState.iterations()));
}
BENCHMARK(BM_Random32);

}  // namespace
