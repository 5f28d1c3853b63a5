// The command line of tarn-rpc, read without connecting anywhere, and the
// requests it builds.
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "CommandLine.h"
#include "RpcSession.h"

using TarnRpc::ERunMode;
using TarnRpc::SCommandLine;

namespace {

struct SParsed
{
    bool bRun = false;
    int iExit = -1;
    SCommandLine kLine;
    std::string kOut;
    std::string kErr;
};

SParsed Parse(const std::vector<std::string>& kArguments)
{
    std::vector<const char*> kArgv{"tarn-rpc"};
    for (const std::string& kArgument : kArguments)
        kArgv.push_back(kArgument.c_str());
    kArgv.push_back(nullptr);
    SParsed kParsed;
    std::ostringstream kOut, kErr;
    kParsed.bRun = TarnRpc::ParseCommandLine(static_cast<int>(kArgv.size() - 1), kArgv.data(), kParsed.kLine,
                                             &kParsed.iExit, kOut, kErr);
    kParsed.kOut = kOut.str();
    kParsed.kErr = kErr.str();
    return kParsed;
}

std::string Repeat(const std::string& kText, size_t uiCount)
{
    std::string kResult;
    for (size_t i = 0; i < uiCount; ++i)
        kResult += kText;
    return kResult;
}

}  // namespace

TEST(RpcCommandLine, ModesExitCodesAndMessages)
{
    struct SCase
    {
        const char* pName;
        std::vector<std::string> kArguments;
        bool bRun;
        int iExit;
        ERunMode eMode;        // when bRun
        const char* pOutPart;  // in the standard output text, or null
        const char* pErrPart;  // in the error text, or null
    };
    const SCase akCases[] = {
        {"a call", {"Root", "GetPrefabManager"}, true, TarnRpc::ExitOk, ERunMode::Request, nullptr, nullptr},
        {"a call with arguments",
         {"GaitComponentRpc", "SetSpeed", "--id", "3", "--no-ack", "1.5"},
         true,
         TarnRpc::ExitOk,
         ERunMode::Request,
         nullptr,
         nullptr},
        {"raw", {"--raw", "{\"ClassName\":\"Root\"}"}, true, TarnRpc::ExitOk, ERunMode::Raw, nullptr, nullptr},
        {"script", {"--script", "requests.txt"}, true, TarnRpc::ExitOk, ERunMode::Script, nullptr, nullptr},
        {"demo", {"--seconds", "2", "demo"}, true, TarnRpc::ExitOk, ERunMode::Demo, nullptr, nullptr},
        {"bench", {"bench", "-c", "4", "-n", "100"}, true, TarnRpc::ExitOk, ERunMode::Bench, nullptr, nullptr},
        {"help", {"--help"}, false, TarnRpc::ExitOk, ERunMode::Request, "tarn-rpc", nullptr},
        {"version", {"--version"}, false, TarnRpc::ExitOk, ERunMode::Request, "tarn-rpc ", nullptr},
        {"nothing to do", {}, false, TarnRpc::ExitUsage, ERunMode::Request, nullptr, "give CLASS METHOD"},
        {"a class alone", {"Root"}, false, TarnRpc::ExitUsage, ERunMode::Request, nullptr, "give CLASS METHOD"},
        {"raw and script",
         {"--raw", "{}", "--script", "x"},
         false,
         TarnRpc::ExitUsage,
         ERunMode::Request,
         nullptr,
         "excludes"},
        {"a port out of range",
         {"--port", "70000", "Root", "KeepAlive"},
         false,
         TarnRpc::ExitUsage,
         ERunMode::Request,
         nullptr,
         "--port"},
        {"an unknown option",
         {"--bogus", "Root", "KeepAlive"},
         false,
         TarnRpc::ExitUsage,
         ERunMode::Request,
         nullptr,
         "--bogus"},
        // CLI11's own range checks let it through.
        {"a time-out that is not a number",
         {"--timeout", "nan", "Root", "KeepAlive"},
         false,
         TarnRpc::ExitUsage,
         ERunMode::Request,
         nullptr,
         "tarn-rpc: --timeout"},
        {"a raw request that is no object",
         {"--raw", "\"text\""},
         false,
         TarnRpc::ExitUsage,
         ERunMode::Request,
         nullptr,
         "--raw: not a JSON object: the text is a string"},
        {"an argument that is not JSON",
         {"Root", "KeepAlive", "{not json"},
         false,
         TarnRpc::ExitUsage,
         ERunMode::Request,
         nullptr,
         nullptr},
        // Arguments in deep brackets used to exhaust the stack inside the
        // option parser (found by fuzz_rpc_args); they are refused first.
        {"a deeply bracketed argument",
         {"Root", "KeepAlive", Repeat("[", 30000) + Repeat("]", 30000)},
         false,
         TarnRpc::ExitUsage,
         ERunMode::Request,
         nullptr,
         "argument 3 is nested deeper than 256 levels"},
        {"deep brackets after a quote",
         {"Root", "KeepAlive", "[\"," + Repeat("[", 30000) + Repeat("]", 30001)},
         false,
         TarnRpc::ExitUsage,
         ERunMode::Request,
         nullptr,
         "argument 3 is nested deeper than 256 levels"},
        {"brackets as deep as the host reads",
         {"Root", "KeepAlive", Repeat("[", 256) + Repeat("]", 256)},
         true,
         TarnRpc::ExitOk,
         ERunMode::Request,
         nullptr,
         nullptr},
        {"an object nested deeper than the host reads",
         {"Root", "KeepAlive", Repeat("{\"a\":", 257) + "1" + Repeat("}", 257)},
         false,
         TarnRpc::ExitUsage,
         ERunMode::Request,
         nullptr,
         nullptr},
    };
    for (const SCase& kCase : akCases)
    {
        SCOPED_TRACE(kCase.pName);
        const SParsed kParsed = Parse(kCase.kArguments);
        EXPECT_EQ(kParsed.bRun, kCase.bRun);
        EXPECT_EQ(kParsed.iExit, kCase.iExit);
        if (kCase.bRun)
        {
            EXPECT_EQ(kParsed.kLine.eMode, kCase.eMode);
        }
        if (kCase.pOutPart)
        {
            EXPECT_NE(kParsed.kOut.find(kCase.pOutPart), std::string::npos) << kParsed.kOut;
        }
        if (kCase.pErrPart)
        {
            EXPECT_NE(kParsed.kErr.find(kCase.pErrPart), std::string::npos) << kParsed.kErr;
        }
    }
}

TEST(RpcCommandLine, CallsBecomeRequestsAndBenchTakesTheConnectionOptions)
{
    const SParsed kCall = Parse({"GaitComponentRpc", "SetRotation", "--id", "2", "{\"x\":0,\"y\":0,\"z\":0,\"w\":1}"});
    ASSERT_TRUE(kCall.bRun);
    EXPECT_EQ(kCall.kLine.kRequest,
              "{\"ClassName\":\"GaitComponentRpc\",\"MethodName\":\"SetRotation\",\"InstanceID\":2,\"WaitAck\":true,"
              "\"UseTcpThread\":false,\"Arg0\":{\"x\":0,\"y\":0,\"z\":0,\"w\":1}}");

    // A heading becomes a rotation about Z, after the other arguments.
    const std::pair<const char*, const char*> akHeadings[] = {
        {"0", "{\"x\":0,\"y\":0,\"z\":0,\"w\":1}"},
        {"90", "{\"x\":0,\"y\":0,\"z\":0.707106781,\"w\":0.707106781}"},
        {"-60", "{\"x\":0,\"y\":0,\"z\":-0.5,\"w\":0.866025404}"},
    };
    for (const auto& kHeading : akHeadings)
    {
        const SParsed kTurn = Parse({"GaitComponentRpc", "SetRotation", "true", "--heading", kHeading.first});
        ASSERT_TRUE(kTurn.bRun) << kTurn.kErr;
        EXPECT_NE(kTurn.kLine.kRequest.find(std::string("\"Arg0\":true,\"Arg1\":") + kHeading.second + "}"),
                  std::string::npos)
            << kTurn.kLine.kRequest;
    }

    const SParsed kBench = Parse({"--host", "10.0.0.2", "--port", "4000", "--no-ack", "bench", "--method",
                                  "GaitComponentRpc.IsActive", "-P", "16"});
    ASSERT_TRUE(kBench.bRun);
    EXPECT_EQ(kBench.kLine.eMode, ERunMode::Bench);
    EXPECT_EQ(kBench.kLine.kLoad.kHost, "10.0.0.2");
    EXPECT_EQ(kBench.kLine.kLoad.uiPort, 4000);
    EXPECT_FALSE(kBench.kLine.kLoad.bWaitAck);
    EXPECT_EQ(kBench.kLine.kLoad.kMethod, "GaitComponentRpc.IsActive");
    EXPECT_EQ(kBench.kLine.kLoad.uiPipeline, 16u);
    EXPECT_FALSE(Parse({"bench", "-P", "0"}).bRun);
}

TEST(RpcSession, AsksForReplyOnlyForRequestsTheHostReads)
{
    struct SCase
    {
        const char* pName;
        std::string kRequest;
        bool bAsks;
    };
    const SCase akCases[] = {
        {"waits", "{\"WaitAck\":true}", true},
        {"does not wait", "{\"WaitAck\":false}", false},
        {"not a bool", "{\"WaitAck\":1}", false},
        {"not JSON", "{\"WaitAck\":true", false},
        {"nested as deep as the host reads", "{\"WaitAck\":true,\"A\":" + Repeat("[", 255) + Repeat("]", 255) + "}",
         true},
        // Deeper text is never answered; parsing it used to recurse once per
        // level on the stack.
        {"nested deeper", "{\"WaitAck\":true,\"A\":" + Repeat("[", 100000) + Repeat("]", 100000) + "}", false},
    };
    for (const SCase& kCase : akCases)
    {
        SCOPED_TRACE(kCase.pName);
        EXPECT_EQ(TarnRpc::CRpcSession::AsksForReply(kCase.kRequest), kCase.bAsks);
    }
}
