// Alloc + Free pairs of the engine memory manager against malloc + free, on
// one and two threads; the cost of tag accounting shown on its own.
#include <cstdlib>
#include <thread>

#include <benchmark/benchmark.h>

#include "System/MemoryManager/MemoryManager.h"

using Common::Mem::CMemoryManager;
using Common::Mem::SHeapInfo;

namespace {

// Two heaps made once by two short-lived threads, so that benchmark threads
// can allocate from a heap of their own as engine threads do.
SHeapInfo* ThreadHeap(int iThread)
{
    static SHeapInfo* s_apHeaps[2] = {};
    static bool s_bMade = [] {
        for (SHeapInfo*& pHeap : s_apHeaps)
            std::thread([&] { pHeap = CMemoryManager::GetInstance()->CreateThreadHeap(); }).join();
        return true;
    }();
    (void)s_bMade;
    return s_apHeaps[iThread % 2];
}

void Malloc(benchmark::State& kState)
{
    const size_t uiSize = static_cast<size_t>(kState.range(0));
    for (auto _ : kState)
    {
        void* pBlock = malloc(uiSize);
        benchmark::DoNotOptimize(pBlock);
        free(pBlock);
    }
    kState.SetItemsProcessed(kState.iterations());
}

void ManagerSharedHeap(benchmark::State& kState)
{
    const size_t uiSize = static_cast<size_t>(kState.range(0));
    CMemoryManager* pManager = CMemoryManager::GetInstance();
    for (auto _ : kState)
    {
        void* pBlock = pManager->Alloc(uiSize, 16, __FILE__, __LINE__);
        benchmark::DoNotOptimize(pBlock);
        pManager->Free(pBlock);
    }
    kState.SetItemsProcessed(kState.iterations());
}

void ManagerOwnHeap(benchmark::State& kState)
{
    const size_t uiSize = static_cast<size_t>(kState.range(0));
    CMemoryManager* pManager = CMemoryManager::GetInstance();
    SHeapInfo* pHeap = ThreadHeap(kState.thread_index());
    for (auto _ : kState)
    {
        void* pBlock = pManager->Alloc(uiSize, 16, __FILE__, __LINE__, pHeap);
        benchmark::DoNotOptimize(pBlock);
        pManager->Free(pBlock);
    }
    kState.SetItemsProcessed(kState.iterations());
}

void ManagerTagged(benchmark::State& kState)
{
    const size_t uiSize = static_cast<size_t>(kState.range(0));
    CMemoryManager* pManager = CMemoryManager::GetInstance();
    pManager->PushTag("Bench::Tagged");
    for (auto _ : kState)
    {
        void* pBlock = pManager->Alloc(uiSize, 16, __FILE__, __LINE__);
        benchmark::DoNotOptimize(pBlock);
        pManager->Free(pBlock);
    }
    pManager->PopTag();
    kState.SetItemsProcessed(kState.iterations());
}

}  // namespace

BENCHMARK(Malloc)->Arg(16)->Arg(64)->Arg(256)->Arg(4096)->Threads(1)->Threads(2);
BENCHMARK(ManagerSharedHeap)->Arg(16)->Arg(64)->Arg(256)->Arg(4096)->Threads(1)->Threads(2);
BENCHMARK(ManagerOwnHeap)->Arg(16)->Arg(64)->Arg(256)->Arg(4096)->Threads(1)->Threads(2);
BENCHMARK(ManagerTagged)->Arg(64)->Threads(1)->Threads(2);
