// The command line of tarn-rpc: the input is split at its zero bytes into
// arguments (the program name first, as a shell would pass it). Only the
// parser runs: nothing is connected to and the process never ends.
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "CommandLine.h"
#include "FuzzSupport.h"

namespace {

// Longer command lines say nothing new.
constexpr size_t kMaxArguments = 64;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    TarnFuzz::QuietReports();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t uiSize)
{
    std::vector<std::string> kArguments{"tarn-rpc"};
    const char* pText = reinterpret_cast<const char*>(pData);
    size_t uiStart = 0;
    for (size_t i = 0; i <= uiSize && kArguments.size() < kMaxArguments; ++i)
    {
        if (i == uiSize || pText[i] == '\0')
        {
            if (i > uiStart || i < uiSize)
                kArguments.emplace_back(pText + uiStart, i - uiStart);
            uiStart = i + 1;
        }
    }
    std::vector<const char*> kArgv;
    for (const std::string& kArgument : kArguments)
        kArgv.push_back(kArgument.c_str());
    kArgv.push_back(nullptr);

    TarnFuzz::RunTwiceCheckingEngineMemory([&] {
        TarnRpc::SCommandLine kLine;
        int iExit = 0;
        std::ostringstream kOut, kErr;
        TarnRpc::ParseCommandLine(static_cast<int>(kArguments.size()), kArgv.data(), kLine, &iExit, kOut, kErr);
    });
    return 0;
}
