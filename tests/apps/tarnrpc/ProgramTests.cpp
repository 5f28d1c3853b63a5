// tarn-rpc as a process: its exit code, its standard output (replies only)
// and its standard error (every message), against a real tarn-host on an
// ephemeral port, a port that listens but never answers, and one that
// refuses connections.
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "support/TextFile.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

struct SRun
{
    int iExit = -1;
    std::string kOut;
    std::string kErr;
};

// Runs a program with the environment of the test, less TARN_HOST and
// TARN_PORT, plus kEnv; its output goes to files in kFolder.
SRun RunProgram(const std::vector<std::string>& kArgs, const std::vector<std::string>& kEnv, const fs::path& kFolder,
                pid_t* piPid = nullptr)
{
    std::vector<std::string> kEnvironment = kEnv;
    for (char** ppVar = environ; *ppVar; ++ppVar)
        if (strncmp(*ppVar, "TARN_HOST=", 10) != 0 && strncmp(*ppVar, "TARN_PORT=", 10) != 0)
            kEnvironment.push_back(*ppVar);
    std::vector<char*> kArgv, kEnvp;
    for (const std::string& kArg : kArgs)
        kArgv.push_back(const_cast<char*>(kArg.c_str()));
    for (const std::string& kVar : kEnvironment)
        kEnvp.push_back(const_cast<char*>(kVar.c_str()));
    kArgv.push_back(nullptr);
    kEnvp.push_back(nullptr);

    const std::string kOutPath = kFolder / "out.txt", kErrPath = kFolder / "err.txt";
    posix_spawn_file_actions_t kActions;
    posix_spawn_file_actions_init(&kActions);
    posix_spawn_file_actions_addopen(&kActions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&kActions, STDOUT_FILENO, kOutPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&kActions, STDERR_FILENO, kErrPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t iPid = -1;
    SRun kRun;
    const int iSpawned = posix_spawn(&iPid, kArgv[0], &kActions, nullptr, kArgv.data(), kEnvp.data());
    posix_spawn_file_actions_destroy(&kActions);
    if (iSpawned != 0)
        return kRun;
    if (piPid)
    {
        *piPid = iPid;  // left running
        return kRun;
    }
    int iStatus = 0;
    waitpid(iPid, &iStatus, 0);
    kRun.iExit = WIFEXITED(iStatus) ? WEXITSTATUS(iStatus) : 128 + WTERMSIG(iStatus);
    kRun.kOut = TestSupport::ReadTextFile(kOutPath);
    kRun.kErr = TestSupport::ReadTextFile(kErrPath);
    return kRun;
}

// A TCP socket on 127.0.0.1 with an ephemeral port: listening (the kernel
// accepts connections, nobody answers) or only bound (connections are
// refused).
struct SLocalPort
{
    int iSocket = -1;
    uint16_t uiPort = 0;

    explicit SLocalPort(bool bListen)
    {
        iSocket = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in kAddress = {};
        kAddress.sin_family = AF_INET;
        kAddress.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t uiLength = sizeof(kAddress);
        if (bind(iSocket, reinterpret_cast<sockaddr*>(&kAddress), sizeof(kAddress)) == 0 &&
            (!bListen || listen(iSocket, 4) == 0) &&
            getsockname(iSocket, reinterpret_cast<sockaddr*>(&kAddress), &uiLength) == 0)
            uiPort = ntohs(kAddress.sin_port);
    }
    ~SLocalPort() { close(iSocket); }
};

class RpcProgram : public testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        char acFolder[] = "/tmp/tarnrpcXXXXXX";
        s_kFolder = mkdtemp(acFolder) ? acFolder : "";
        s_pSilent = new SLocalPort(true);
        s_pRefusing = new SLocalPort(false);
        fs::create_directory(s_kFolder / "host");
        RunProgram({TARN_HOST_PROGRAM, "--port", "0", "--demo"}, {}, s_kFolder / "host", &s_iHost);
        // The host prints its port in the ready line once it listens.
        const std::string kReady = "tarn-host ready: listening on 127.0.0.1:";
        for (int iTry = 0; iTry < 1200 && s_kHostPort.empty(); ++iTry)
        {
            const std::string kLog = TestSupport::ReadTextFile(s_kFolder / "host" / "out.txt");
            const size_t uiAt = kLog.find(kReady);
            if (uiAt != std::string::npos && kLog.find(',', uiAt) != std::string::npos)
                s_kHostPort = kLog.substr(uiAt + kReady.size(), kLog.find(',', uiAt) - uiAt - kReady.size());
            else if (waitpid(s_iHost, nullptr, WNOHANG) != 0)
                break;
            else
                usleep(50000);
        }
    }
    static void TearDownTestSuite()
    {
        if (s_iHost > 0)
        {
            kill(s_iHost, SIGTERM);
            waitpid(s_iHost, nullptr, 0);
        }
        delete s_pSilent;
        delete s_pRefusing;
        fs::remove_all(s_kFolder);
    }

    static inline fs::path s_kFolder;
    static inline pid_t s_iHost = -1;
    static inline std::string s_kHostPort;
    static inline SLocalPort* s_pSilent = nullptr;
    static inline SLocalPort* s_pRefusing = nullptr;
};

// {port}, {silent} and {refusing} become the ports, {dir} the test folder.
std::string Expand(std::string kText, const std::vector<std::pair<std::string, std::string>>& kValues)
{
    for (const auto& kValue : kValues)
        for (size_t uiAt; (uiAt = kText.find(kValue.first)) != std::string::npos;)
            kText.replace(uiAt, kValue.first.size(), kValue.second);
    return kText;
}

}  // namespace

TEST_F(RpcProgram, ExitCodesRepliesOnStandardOutputMessagesOnStandardError)
{
    ASSERT_FALSE(s_kHostPort.empty()) << TestSupport::ReadTextFile(s_kFolder / "host" / "out.txt");
    ASSERT_NE(s_pSilent->uiPort, 0);
    ASSERT_NE(s_pRefusing->uiPort, 0);
    const std::string kIsLoaded = "{\"ClassName\":\"Root\",\"MethodName\":\"IsLoadingFinished\",\"InstanceID\":0,"
                                  "\"WaitAck\":true,\"UseTcpThread\":false}";
    std::ofstream(s_kFolder / "good.txt") << "# two requests\n" << kIsLoaded << "\n\n  " << kIsLoaded << "  \n";
    std::ofstream(s_kFolder / "bad.txt") << kIsLoaded << "\n# a comment\n{\"ClassName\":\n";

    struct SCase
    {
        const char* pName;
        std::vector<std::string> kArgs;
        std::vector<std::string> kEnv;
        int iExit;
        const char* pOut;  // the whole standard output
        const char* pErr;  // in the standard error; null: it is empty
    };
    const char* pLoaded = "{\"Res\":true}\n";
    const SCase akCases[] = {
        {"a reply", {"--port", "{port}", "Root", "IsLoadingFinished"}, {}, 0, pLoaded, nullptr},
        {"the closing report with --verbose",
         {"--verbose", "--port", "{port}", "Root", "IsLoadingFinished"},
         {},
         0,
         pLoaded,
         "Leak detected : 0 !!!"},
        {"a host name",
         {"--host", "localhost", "--port", "{port}", "Root", "IsLoadingFinished"},
         {},
         0,
         pLoaded,
         nullptr},
        {"host and port from the environment",
         {"Root", "IsLoadingFinished"},
         {"TARN_HOST=localhost", "TARN_PORT={port}"},
         0,
         pLoaded,
         nullptr},
        {"an option before the environment",
         {"--port", "{port}", "Root", "IsLoadingFinished"},
         {"TARN_PORT={refusing}"},
         0,
         pLoaded,
         nullptr},
        {"a port from the environment that is no number", {"Root", "KeepAlive"}, {"TARN_PORT=x"}, 1, "", "tarn-rpc: "},
        {"no reply asked for", {"--port", "{port}", "--no-ack", "Root", "KeepAlive"}, {}, 0, "", nullptr},
        {"an error reply",
         {"--port", "{port}", "GaitComponentRpc", "IsActive", "--id", "12345"},
         {},
         3,
         nullptr,
         nullptr},
        {"a raw request", {"--port", "{port}", "--raw", kIsLoaded}, {}, 0, pLoaded, nullptr},
        {"a script",
         {"--port", "{port}", "--script", "{dir}/good.txt"},
         {},
         0,
         "{\"Res\":true}\n{\"Res\":true}\n",
         nullptr},
        {"a refused connection",
         {"--host", "localhost", "--port", "{refusing}", "Root", "KeepAlive"},
         {},
         2,
         "",
         "tarn-rpc: cannot connect to localhost (127.0.0.1) port {refusing}"},
        {"a host name that does not resolve",
         {"--host", "no-such-host.invalid", "Root", "KeepAlive"},
         {},
         2,
         "",
         "tarn-rpc: cannot resolve the host \"no-such-host.invalid\""},
        {"no reply in time",
         {"--port", "{silent}", "--timeout", "0.2", "Root", "IsLoadingFinished"},
         {},
         4,
         "",
         "tarn-rpc: no reply within 0.2 s"},
        {"a script line that is no reply in time",
         {"--port", "{silent}", "--timeout", "0.2", "--script", "{dir}/good.txt"},
         {},
         4,
         "",
         "good.txt:2: the request failed"},
        // Input is refused before a connection is tried (the port refuses).
        {"a raw request that is not JSON",
         {"--port", "{refusing}", "--raw", "{bad"},
         {},
         1,
         "",
         "tarn-rpc: --raw: not a JSON object: Missing a name for object member. (at offset 1)"},
        {"a raw request that is no object",
         {"--port", "{refusing}", "--raw", "[1]"},
         {},
         1,
         "",
         "--raw: not a JSON object: the text is an array"},
        {"a missing script",
         {"--port", "{refusing}", "--script", "{dir}/none.txt"},
         {},
         1,
         "",
         "tarn-rpc: cannot read the script {dir}/none.txt"},
        {"a script line that is not JSON",
         {"--port", "{port}", "--script", "{dir}/bad.txt"},
         {},
         1,
         "",
         "{dir}/bad.txt:3: not a JSON object: "},
        {"seven arguments",
         {"--port", "{refusing}", "Root", "KeepAlive", "1", "2", "3", "4", "5", "6", "7"},
         {},
         1,
         "",
         "at most 6 arguments"},
        {"six arguments and a heading",
         {"--port", "{refusing}", "Root", "KeepAlive", "1", "2", "3", "4", "5", "6", "--heading", "90"},
         {},
         1,
         "",
         "at most 6 arguments"},
        {"a heading without a call", {"--port", "{refusing}", "--heading", "90", "demo"}, {}, 1, "", "--heading"},
        {"an argument that is not JSON",
         {"--port", "{refusing}", "Root", "KeepAlive", "hello"},
         {},
         1,
         "",
         "strings need quotes: '\"text\"'"},
        {"an unknown option", {"--bogus", "Root", "KeepAlive"}, {}, 1, "", "tarn-rpc: The following argument"},
        {"the version", {"--version"}, {}, 0, "tarn-rpc " TARN_VERSION "\n", nullptr},
    };
    const std::vector<std::pair<std::string, std::string>> kValues = {
        {"{port}", s_kHostPort},
        {"{silent}", std::to_string(s_pSilent->uiPort)},
        {"{refusing}", std::to_string(s_pRefusing->uiPort)},
        {"{dir}", s_kFolder.string()}};
    for (const SCase& kCase : akCases)
    {
        SCOPED_TRACE(kCase.pName);
        std::vector<std::string> kArgs{TARN_RPC_PROGRAM}, kEnv;
        for (const std::string& kArg : kCase.kArgs)
            kArgs.push_back(Expand(kArg, kValues));
        for (const std::string& kVar : kCase.kEnv)
            kEnv.push_back(Expand(kVar, kValues));
        const SRun kRun = RunProgram(kArgs, kEnv, s_kFolder);
        EXPECT_EQ(kRun.iExit, kCase.iExit) << kRun.kErr;
        if (kCase.pOut)
        {
            EXPECT_EQ(kRun.kOut, kCase.pOut);
        }
        else
        {
            EXPECT_EQ(kRun.kOut.rfind("{\"Error\":", 0), 0u) << kRun.kOut;
        }
        if (kCase.pErr)
        {
            EXPECT_NE(kRun.kErr.find(Expand(kCase.pErr, kValues)), std::string::npos) << kRun.kErr;
        }
        else
        {
            EXPECT_EQ(kRun.kErr, "");
        }
        if (kCase.kArgs[0] != "--verbose")
        {
            EXPECT_EQ(kRun.kErr.find("Assertion"), std::string::npos) << kRun.kErr;
            EXPECT_EQ(kRun.kErr.find("Memory Manager"), std::string::npos) << kRun.kErr;
        }
    }
}
