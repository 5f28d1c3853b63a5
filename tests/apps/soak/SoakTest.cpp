// Soak and fault test of tarn-host: `tarn-host --demo 50 --port 0` driven
// over loopback for a fixed time by many clients beside hostile ones (floods
// without "WaitAck", half frames, clients that never read, idle connections),
// then stopped with SIGINT under load. Every reply must be the one pinned for
// its request, in order; the executed count must grow by exactly the requests
// that had to run; a walking character sent refused calls must keep walking;
// the resident size stays bounded; afterwards 64 connections are served at
// once; stopped under load, the commands run must add up with the replies,
// and the host must exit with 0 and no leak.
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr uint32_t kMaxFrameBytes = 16u << 20;
constexpr uint32_t kCloseMarker = 0xFFFFFFFFu;
constexpr size_t kMaxConnections = 64;
constexpr int kReplyMs = 30000;
constexpr double kFrameSeconds = 10.0;  // the host's time for the rest of a frame, and for a reply to be taken
constexpr long kResidentLimitKb = 1L << 20;
constexpr int64_t kDead = 2147483000;   // never handed out in one run
constexpr uint32_t kFloodBatch = 1500;  // more than the host holds for one connection (1024)
// A sanitizer's allocator holds freed memory back; ThreadSanitizer's shadow
// memory is several times the program's own.
#if defined(__SANITIZE_THREAD__)
constexpr bool kBoundResident = false, kBoundGrowth = false;
#elif defined(__SANITIZE_ADDRESS__)
constexpr bool kBoundResident = true, kBoundGrowth = false;
#else
constexpr bool kBoundResident = true, kBoundGrowth = true;
#endif

constexpr const char* kTrue = "{\"Res\":true}";
constexpr const char* kFalse = "{\"Res\":false}";
constexpr const char* kVoid = "{}";
constexpr const char* kNumber = "{\"Res\":#}";
constexpr const char* kPosition = "{\"Res\":{\"x\":#,\"y\":#,\"z\":#}}";
constexpr const char* kRotation = "{\"Res\":{\"x\":#,\"y\":#,\"z\":#,\"w\":#}}";
constexpr const char* kStalledLine = "sent part of a message and nothing more for";
constexpr const char* kDeafLine = "did not take its replies within";

// The texts the host must answer with.
#define ARG0_MUST "Assertion \"Arg0\" failed. argument Arg0 must be "
#define MEMBER_MUST(kName, kType) "Assertion \"" kName "\" failed. remote request member " kName " must be " kType
constexpr const char* kNoInstance = "Assertion \"pRes != 0\" failed. Cannot retreive instance ptr";
constexpr const char* kNotRef = ARG0_MUST "null or an object {\"InstanceID\": integer}";
constexpr const char* kSpeedRange = ARG0_MUST "a speed from 0 to 10";
constexpr const char* kFloatRange = ARG0_MUST "a number between -3.4e38 and 3.4e38";
constexpr const char* kNoRotation =
    ARG0_MUST "a rotation: the numbers \"x\", \"y\", \"z\" and \"w\" between -3.4e38 and "
              "3.4e38, not all zero";
constexpr const char* kFarPosition = ARG0_MUST "a position within 100000 m of the origin on each axis";
constexpr const char* kRemoved = "Assertion \"pInstance\" failed. The prefab has been removed";
constexpr const char* kTooDeep = "Assertion \"uiDeep == uiLength\" failed. remote request nests deeper than 256 levels";
constexpr const char* kTooMany =
    "Assertion \"uiValues <= kMaxRequestValues\" failed. remote request holds more than 4096 values";
// Followed by what the parser found, and where.
constexpr const char* kNotObject =
    "Assertion \"!kDocument.HasParseError() && kDocument.IsObject()\" failed. remote request is not a JSON object";
constexpr const char* kZero = "{\"x\":0,\"y\":0,\"z\":0,\"w\":0}";

// A call on the caller's own object of the class (or on iInstance).
struct SCall
{
    const char* pClass;
    const char* pMethod;
    const char* pArg;
    const char* pError;
    int64_t iInstance = -1;
};
// Calls the host must refuse; from kOwnFrom on, on a character of one's own.
const SCall kRefused[] = {
    {"Root", "NoSuchMethod", "", "Assertion \"false\" failed. this command is not registred"},
    {"Prefab", "GetPosition", "", kNoInstance, kDead},
    {"GaitComponentBuilderRpc", "GetPrefabComponent", "5", kNotRef},
    {"GaitComponentBuilderRpc", "GetPrefabComponent", "\"zero\"", kNotRef},
    {"GaitComponentBuilderRpc", "GetPrefabComponent", "{\"InstanceID\":2147483000}", kNoInstance},
    {"GaitComponentRpc", "SetSpeed", "\"fast\"", ARG0_MUST "a number"},
    {"Prefab", "SetPosition", "{\"x\":1}", ARG0_MUST "an object with the numbers \"x\", \"y\" and \"z\""},
    {"GaitComponentRpc", "SetSpeed", "-1", kSpeedRange},
    {"GaitComponentRpc", "SetSpeed", "11", kSpeedRange},
    {"GaitComponentRpc", "SetSpeed", "1e39", kFloatRange},
    {"GaitComponentRpc", "SetSpeed", "-1e39", kFloatRange},
    {"GaitComponentRpc", "SetRotation", kZero, kNoRotation},
    {"GaitComponentRpc", "SetRotation", "{\"x\":0,\"y\":0,\"z\":1e39,\"w\":1}", kNoRotation},
    {"Prefab", "SetOrientation", kZero, kNoRotation},
    {"Prefab", "SetPosition", "{\"x\":100001,\"y\":0,\"z\":0}", kFarPosition},
    {"Prefab", "SetPosition", "{\"x\":0,\"y\":-2e5,\"z\":0}", kFarPosition},
    {"Prefab", "SetPosition", "{\"x\":0,\"y\":0,\"z\":1e39}",
     ARG0_MUST "an object with the numbers \"x\", \"y\" and \"z\" between -3.4e38 and 3.4e38"}};
constexpr size_t kOwnFrom = 5, kRefusedCount = sizeof(kRefused) / sizeof(kRefused[0]);

double SecondsSince(Clock::time_point kStart)
{
    return std::chrono::duration<double>(Clock::now() - kStart).count();
}

std::string JsonString(const std::string& kText)
{
    rapidjson::StringBuffer kBuffer;
    rapidjson::Writer<rapidjson::StringBuffer> kWriter(kBuffer);
    kWriter.String(kText.data(), static_cast<rapidjson::SizeType>(kText.size()));
    return kBuffer.GetString();
}

// An error reply; without bWhole its start (the parser's detail follows).
std::string ErrorReply(const char* pText, bool bWhole = true)
{
    const std::string kReply = "{\"Error\":" + JsonString(pText);
    return bWhole ? kReply + "}" : kReply.substr(0, kReply.size() - 1);
}

std::string Header(uint32_t uiLength)
{
    const char acHeader[4] = {char(uiLength), char(uiLength >> 8), char(uiLength >> 16), char(uiLength >> 24)};
    return std::string(acHeader, 4);
}

std::string Frame(const std::string& kBody)
{
    return Header(static_cast<uint32_t>(kBody.size())) + kBody;
}

std::string Request(const char* pClass, const char* pMethod, int64_t iInstance = 0, bool bAck = true,
                    const std::string& kArg = "", bool bTcpThread = false)
{
    return std::string("{\"ClassName\":\"") + pClass + "\",\"MethodName\":\"" + pMethod +
           "\",\"InstanceID\":" + std::to_string(iInstance) + ",\"WaitAck\":" + (bAck ? "true" : "false") +
           ",\"UseTcpThread\":" + (bTcpThread ? "true" : "false") + (kArg.empty() ? "" : ",\"Arg0\":" + kArg) + "}";
}

std::string Ref(int64_t iInstance)
{
    return "{\"InstanceID\":" + std::to_string(iInstance) + "}";
}

// Frames the host must not run, and the reply of each: an error when its
// text asks for one ("WaitAck" : true anywhere in it), else none.
struct SUnrunnable
{
    std::string kText, kReply;
};
const std::vector<SUnrunnable> kUnrunnable = [] {
    const std::string kNotObjectReply = ErrorReply(kNotObject, false);
    std::vector<SUnrunnable> kFrames;
    for (const char* pText : {"", "hello", "{\"ClassName\":", "{'ClassName':'Root'}", "\x01\x02\xff\xfe",
                              "{\"WaitAck\":false,}", "{\"NoWaitAck\":true,}", "[1,2,3]", "42", "\"Root\"", "null"})
        kFrames.push_back({pText, ""});
    for (const char* pText :
         {"{\"WaitAck\":true,}", "{\"WaitAck\" :\ttrue,,}", "\"WaitAck\":true", "[\"WaitAck\" : true]"})
        kFrames.push_back({pText, kNotObjectReply});
    std::string kValues = "[0";
    for (uint32_t i = 0; i < 4200; ++i)
        kValues += ",0";
    for (const bool bAsk : {false, true})
    {
        // Literals JSON lacks, trailing data, an array, too deep, too many.
        const std::string kCall = Request("Root", "KeepAlive", 0, bAsk), kOpen = kCall.substr(0, kCall.size() - 1);
        for (const std::string& kText :
             {kOpen + ",\"Arg0\":NaN}", kOpen + ",\"Arg0\":-Infinity}", kCall + " {}", kCall + "x", "[" + kCall + "]"})
            kFrames.push_back({kText, bAsk ? kNotObjectReply : ""});
        kFrames.push_back({kOpen + ",\"Arg0\":" + std::string(300, '[') + std::string(300, ']') + "}",
                           bAsk ? ErrorReply(kTooDeep) : ""});
        kFrames.push_back({kOpen + ",\"Arg0\":" + kValues + "]}", bAsk ? ErrorReply(kTooMany) : ""});
    }
    // An envelope member missing or of the wrong type.
    static const char* const s_aapMembers[][3] = {
        {"\"ClassName\":\"Root\"", "\"ClassName\":5", MEMBER_MUST("ClassName", "a string")},
        {"\"ClassName\":\"Root\",", "", MEMBER_MUST("ClassName", "a string")},
        {"\"MethodName\":\"KeepAlive\"", "\"MethodName\":null", MEMBER_MUST("MethodName", "a string")},
        {"\"InstanceID\":0", "\"InstanceID\":\"0\"", MEMBER_MUST("InstanceID", "a signed 32-bit integer")},
        {"\"InstanceID\":0", "\"InstanceID\":4294967296", MEMBER_MUST("InstanceID", "a signed 32-bit integer")},
        {"\"UseTcpThread\":false", "\"UseTcpThread\":1", MEMBER_MUST("UseTcpThread", "a bool")},
        {",\"UseTcpThread\":false", "", MEMBER_MUST("UseTcpThread", "a bool")},
        {"\"WaitAck\":true", "\"WaitAck\":\"yes\"", nullptr},
        {"\"WaitAck\":true,", "", nullptr}};
    for (const auto& apMember : s_aapMembers)
    {
        std::string kText = Request("Root", "KeepAlive");
        kFrames.push_back({kText.replace(kText.find(apMember[0]), strlen(apMember[0]), apMember[1]),
                           apMember[2] ? ErrorReply(apMember[2]) : ""});
    }
    return kFrames;
}();

constexpr uint32_t kKindCount = 5;  // of client: the normal one, then the hostile ones

// The host process; a thread reads its log.
struct SHost
{
    pid_t iPid = -1;
    int iStatus = 0;
    bool bReaped = false;
    std::thread kReader;
    std::atomic<uint16_t> uiPort{0};
    std::atomic<bool> bNoLeak{false};
    std::atomic<int64_t> iStoppedAfter{-1};  // N of "endpoint stopped after running N remote commands"
    std::mutex kLock;
    std::map<std::string, uint32_t> kClosed;  // by the reason logged and the peer

    ~SHost() { Stop(0); }
    bool Start(const std::string& kPath)
    {
        int aiPipe[2];
        if (pipe2(aiPipe, O_CLOEXEC) != 0 || (iPid = fork()) < 0)
            return false;
        if (iPid == 0)
        {
            prctl(PR_SET_PDEATHSIG, SIGKILL);  // never outlive the test
            dup2(aiPipe[1], 1), dup2(aiPipe[1], 2);
            execl(kPath.c_str(), kPath.c_str(), "--demo", "50", "--port", "0", nullptr);
            _exit(127);
        }
        close(aiPipe[1]);
        kReader = std::thread([this, iPipe = aiPipe[0]] { Drain(iPipe); });
        for (const Clock::time_point kStart = Clock::now(); !uiPort && !Exited() && SecondsSince(kStart) < 120;)
            std::this_thread::sleep_for(20ms);
        return uiPort != 0;
    }
    bool Exited()
    {
        bReaped = bReaped || (iPid > 0 && waitpid(iPid, &iStatus, WNOHANG) == iPid);
        return bReaped;
    }
    // SIGINT, then a wait: the exit code, or -1 when it had to be killed.
    int Stop(int iTimeoutMs)
    {
        if (iPid <= 0)
            return -1;
        const Clock::time_point kAsked = Clock::now();
        if (!Exited())
            kill(iPid, SIGINT);
        while (!Exited() && SecondsSince(kAsked) * 1000 < iTimeoutMs)
            std::this_thread::sleep_for(20ms);
        const bool bKilled = !Exited();
        if (bKilled)
            kill(iPid, SIGKILL), waitpid(iPid, &iStatus, 0);
        iPid = -1;
        kReader.join();  // the pipe ends with the process
        return bKilled ? -1 : WIFEXITED(iStatus) ? WEXITSTATUS(iStatus) : 128 + WTERMSIG(iStatus);
    }
    // A field of /proc/<pid>/status in kB ("VmRSS", "VmHWM"), or -1.
    long StatusKb(const std::string& kField) const
    {
        std::ifstream kStatus("/proc/" + std::to_string(iPid) + "/status");
        for (std::string kLine; std::getline(kStatus, kLine);)
            if (kLine.rfind(kField + ":", 0) == 0)
                return std::atol(kLine.c_str() + kField.size() + 1);
        return -1;
    }
    // How often the host logged closing kPeer ("127.0.0.1:port") for pWhy.
    uint32_t Closed(const char* pWhy, const std::string& kPeer)
    {
        std::lock_guard<std::mutex> kGuard(kLock);
        return kClosed[pWhy + kPeer];
    }
    void Drain(int iPipe)
    {
        static const std::string s_kReady = "tarn-host ready: listening on 127.0.0.1:",
                                 s_kStopped = "TarnEngine : endpoint stopped after running ",
                                 s_kEndpoint = "[EngineHost] : ";
        FILE* pOutput = fdopen(iPipe, "r");
        char* pLine = nullptr;
        size_t uiSize = 0;
        while (getline(&pLine, &uiSize, pOutput) >= 0)
        {
            const std::string kLine = pLine;
            if (kLine.rfind(s_kReady, 0) == 0)
                uiPort = static_cast<uint16_t>(std::atoi(kLine.c_str() + s_kReady.size()));
            // Log lines start with the time and the level.
            if (const size_t uiStopped = kLine.find(s_kStopped); uiStopped != std::string::npos)
                iStoppedAfter = std::atoll(kLine.c_str() + uiStopped + s_kStopped.size());
            bNoLeak = bNoLeak || kLine.find("Leak detected : 0 ") != std::string::npos;
            const size_t uiEndpoint = kLine.find(s_kEndpoint);
            const size_t uiPeer = uiEndpoint + s_kEndpoint.size();
            for (const char* pWhy : {kStalledLine, kDeafLine})
                if (uiEndpoint != std::string::npos && kLine.find(pWhy) != std::string::npos)
                {
                    std::lock_guard<std::mutex> kGuard(kLock);
                    ++kClosed[pWhy + kLine.substr(uiPeer, kLine.find(' ', uiPeer) - uiPeer)];
                }
        }
        free(pLine);
        fclose(pOutput);
    }
};

struct SRun
{
    uint16_t uiPort = 0;
    SHost* pHost = nullptr;
    std::string kGait;  // the demo gait document
    Clock::time_point kEnd;
    std::atomic<bool> bStop{false}, bFailed{false};
    std::atomic<uint64_t> uiMustRun{0};  // since the first reading of the count
    std::atomic<uint64_t> uiReplies{0};
    std::atomic<uint64_t> auiRounds[kKindCount] = {};
    std::mutex kLock;
    std::vector<std::string> kFailures;

    bool Fail(const std::string& kWhat)
    {
        std::lock_guard<std::mutex> kGuard(kLock);
        if (kFailures.size() < 20)
            kFailures.push_back(kWhat);
        bStop = bFailed = true;
        return false;
    }
};

// Closed: the stream ended; Partial: it ended inside a frame.
enum class ERead
{
    Frame,
    CloseMarker,
    Closed,
    Partial,
    TimedOut
};

// One client connection, framed by hand so that any bytes can be sent.
struct SSocket
{
    int iFd = -1;

    ~SSocket() { Close(); }
    // iReceiveBuffer: set before connecting, so that the window stays small.
    bool Open(uint16_t uiPort, int iReceiveBuffer = 0)
    {
        Close();
        iFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in kAddress = {};
        kAddress.sin_family = AF_INET;
        kAddress.sin_port = htons(uiPort);
        kAddress.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const int iOne = 1;
        setsockopt(iFd, IPPROTO_TCP, TCP_NODELAY, &iOne, sizeof(iOne));
        if (iReceiveBuffer > 0)
            setsockopt(iFd, SOL_SOCKET, SO_RCVBUF, &iReceiveBuffer, sizeof(iReceiveBuffer));
        return connect(iFd, reinterpret_cast<sockaddr*>(&kAddress), sizeof(kAddress)) == 0;
    }
    void Close()
    {
        if (iFd >= 0)
            close(iFd);
        iFd = -1;
    }
    // As the host names the connection: "127.0.0.1:port".
    std::string Name() const
    {
        sockaddr_in kAddress = {};
        socklen_t uiSize = sizeof(kAddress);
        getsockname(iFd, reinterpret_cast<sockaddr*>(&kAddress), &uiSize);
        return "127.0.0.1:" + std::to_string(ntohs(kAddress.sin_port));
    }
    bool Send(const std::string& kBytes)
    {
        for (size_t uiSent = 0; uiSent < kBytes.size();)
        {
            const ssize_t iSent = send(iFd, kBytes.data() + uiSent, kBytes.size() - uiSent, MSG_NOSIGNAL);
            if (iSent < 0 && errno != EINTR)
                return false;
            uiSent += static_cast<size_t>(std::max<ssize_t>(iSent, 0));
        }
        return true;
    }
    // Exactly uiLength bytes, unless the stream ends or iTimeoutMs passes.
    ERead Read(char* pBytes, size_t uiLength, int iTimeoutMs)
    {
        const Clock::time_point kStart = Clock::now();
        size_t uiRead = 0;
        ERead eRead = ERead::Frame;
        while (uiRead < uiLength && eRead == ERead::Frame)
        {
            pollfd kPoll = {iFd, POLLIN, 0};
            const int iLeftMs = iTimeoutMs - static_cast<int>(SecondsSince(kStart) * 1000);
            const ssize_t iRead =
                iLeftMs <= 0 || poll(&kPoll, 1, iLeftMs) == 0 ? -2 : recv(iFd, pBytes + uiRead, uiLength - uiRead, 0);
            if (iRead == -2 || iRead == 0 || (iRead < 0 && errno != EINTR))
                eRead = iRead == -2 ? ERead::TimedOut : uiRead > 0 ? ERead::Partial : ERead::Closed;
            uiRead += static_cast<size_t>(std::max<ssize_t>(iRead, 0));
        }
        return eRead;
    }
    ERead ReadFrame(std::string& kBody, int iTimeoutMs = kReplyMs)
    {
        unsigned char aucHeader[4];
        kBody.clear();
        const ERead eRead = Read(reinterpret_cast<char*>(aucHeader), 4, iTimeoutMs);
        const uint32_t uiLength = aucHeader[0] | aucHeader[1] << 8 | aucHeader[2] << 16 | uint32_t(aucHeader[3]) << 24;
        if (eRead != ERead::Frame || uiLength == kCloseMarker || uiLength > kMaxFrameBytes)
            return eRead != ERead::Frame ? eRead : uiLength == kCloseMarker ? ERead::CloseMarker : ERead::Partial;
        kBody.resize(uiLength);
        const ERead eBody = Read(kBody.data(), uiLength, iTimeoutMs);
        return eBody == ERead::Closed ? ERead::Partial : eBody;
    }
};

// A client: one connection at a time, one round of its kind on each.
class CClient
{
public:
    CClient(SRun& kRun, std::string kName, uint64_t uiSeed, uint32_t uiIndex = 0)
        : m_kRun(kRun), m_kName(std::move(kName)), m_kRandom(uiSeed), m_uiIndex(uiIndex)
    {
    }

    void Run(uint32_t uiKind);

    bool Fail(const std::string& kWhat)
    {
        return m_kRun.Fail(m_kName + ": " + kWhat + "\n      after " + JsonString(m_kLast.substr(0, 160)));
    }
    uint32_t Pick(size_t uiCount)
    {
        return std::uniform_int_distribution<uint32_t>(0, static_cast<uint32_t>(uiCount) - 1)(m_kRandom);
    }
    bool Chance(double dProbability) { return std::bernoulli_distribution(dProbability)(m_kRandom); }

    // A call on the client's own object of the class.
    std::string Own(const std::string& kClass, const char* pMethod, const std::string& kArg = "", bool bAck = true)
    {
        const int64_t iInstance = kClass == "Prefab"             ? m_iPrefab
                                  : kClass == "GaitComponentRpc" ? m_iGait
                                  : kClass == "PrefabManager"    ? m_iManager
                                                                 : 0;
        return Request(kClass.c_str(), pMethod, iInstance, bAck, kArg);
    }
    std::string Own(const SCall& kCall, bool bAck = true)
    {
        return kCall.iInstance < 0 ? Own(kCall.pClass, kCall.pMethod, kCall.pArg, bAck)
                                   : Request(kCall.pClass, kCall.pMethod, kCall.iInstance, bAck, kCall.pArg);
    }

    // An acknowledged request; its reply, unless an error, is a command run.
    bool Call(const std::string& kRequest)
    {
        m_kLast = kRequest;
        const ERead eRead = m_kSocket.Send(Frame(kRequest)) ? m_kSocket.ReadFrame(m_kBody) : ERead::Closed;
        if (eRead != ERead::Frame)
            return Fail(eRead == ERead::TimedOut ? "no reply within 30 s" : "no reply: the connection ended");
        m_kRun.uiReplies++;
        m_kRun.uiMustRun += m_kBody.rfind("{\"Error\":", 0) != 0;
        return true;
    }
    // m_kBody with each number written '#'; the numbers go to m_adNumbers.
    std::string Shape()
    {
        std::string kShape;
        size_t uiNumbers = 0;
        for (const char* p = m_kBody.c_str(); *p;)
        {
            char* pEnd = const_cast<char*>(p);
            if (uiNumbers < 4 && ((*p >= '0' && *p <= '9') || *p == '-'))
                m_adNumbers[uiNumbers] = std::strtod(p, &pEnd);
            if (pEnd == p)
                kShape += *p++;
            else
                kShape += '#', ++uiNumbers, p = pEnd;
        }
        return kShape;
    }
    // The reply must be kReply; or begin with it when kReply leaves the
    // object open; or have its form when kReply holds '#' for numbers, the
    // first at least dMin.
    bool Ack(const std::string& kRequest, const std::string& kReply, double dMin = -INFINITY)
    {
        return Call(kRequest) &&
               ((kReply.back() != '}'                    ? m_kBody.rfind(kReply, 0) == 0
                 : kReply.find('#') == std::string::npos ? m_kBody == kReply
                                                         : Shape() == kReply && m_adNumbers[0] >= dMin) ||
                Fail("unexpected reply " + m_kBody));
    }
    // {"Res":n}, with bRef {"Res":{"InstanceID":n}}, n at least iMin.
    bool AckNumber(const std::string& kRequest, int64_t iMin, int64_t* piValue = nullptr, bool bRef = false)
    {
        const bool bOk = Ack(kRequest, bRef ? "{\"Res\":{\"InstanceID\":#}}" : kNumber, static_cast<double>(iMin));
        if (bOk && piValue)
            *piValue = static_cast<int64_t>(m_adNumbers[0]);
        return bOk;
    }
    bool UnitRotation()
    {
        const double* p = m_adNumbers;
        return Ack(Own("Prefab", "GetOrientation"), kRotation) &&
               (std::fabs(std::sqrt(p[0] * p[0] + p[1] * p[1] + p[2] * p[2] + p[3] * p[3]) - 1.0) < 1e-3 ||
                Fail("not a unit rotation: " + m_kBody));
    }
    // Bytes that get no reply (a stray one shows in a later reply or at the
    // close), with uiMustRun frames that must run.
    bool Silent(const std::string& kBytes, uint64_t uiMustRun = 0)
    {
        m_kLast = kBytes;
        m_kRun.uiMustRun += uiMustRun;
        return m_kSocket.Send(kBytes) || Fail("sending failed");
    }

    // Served once its first call is answered; one reset before never reached
    // the host (an overflow of the listen backlog) and is tried again.
    bool Connect(int iReceiveBuffer = 0)
    {
        m_kLast = Request("Root", "KeepAlive", 0, true, "", true);
        for (uint32_t uiAttempt = 0; uiAttempt < 100; ++uiAttempt)
        {
            const bool bSent = m_kSocket.Open(m_kRun.uiPort, iReceiveBuffer) && m_kSocket.Send(Frame(m_kLast));
            const ERead eRead = bSent ? m_kSocket.ReadFrame(m_kBody) : ERead::Closed;
            if (eRead == ERead::Frame && m_kBody == kTrue)
                return m_kRun.uiMustRun++, m_kRun.uiReplies++, true;
            if (eRead != ERead::Closed || !m_kBody.empty())
                return Fail("the first call on a connection got " + (m_kBody.empty() ? "no reply" : m_kBody));
            std::this_thread::sleep_for(std::chrono::milliseconds(10 + Pick(40)));
        }
        return Fail("100 connections in a row were reset before the host served them");
    }
    // The close marker must come back alone, then the stream must end.
    bool CloseCleanly()
    {
        m_kLast = "(the close marker)";
        const ERead eRead = m_kSocket.Send(Header(kCloseMarker)) ? m_kSocket.ReadFrame(m_kBody) : ERead::Closed;
        char cExtra = 0;
        return eRead != ERead::CloseMarker ? Fail("instead of the close marker: " + m_kBody)
                                           : m_kSocket.Read(&cExtra, 1, kReplyMs) == ERead::Closed ||
                                                 Fail("the connection stayed open after the close marker");
    }
    // A new log line that the host closed kPeer for pWhy.
    bool Logged(const char* pWhy, const std::string& kPeer, uint32_t uiBefore)
    {
        for (const Clock::time_point kStart = Clock::now(); m_kRun.pHost->Closed(pWhy, kPeer) <= uiBefore;)
        {
            if (m_kRun.bStop || SecondsSince(kStart) > 2 * kFrameSeconds)
                return m_kRun.bStop || Fail("no \"" + std::string(pWhy) + "\" line for " + kPeer);
            std::this_thread::sleep_for(50ms);
        }
        return true;
    }

    // Only this client holds its character: the reference counts are exact.
    bool LoadCharacter()
    {
        return AckNumber(Request("Root", "GetPrefabManager"), 0, &m_iManager, true) &&
               AckNumber(Own("PrefabManager", "LoadFile", "\"demo/biped.prefab.json\""), 0, &m_iPrefab, true) &&
               AckNumber(Own("GaitComponentBuilderRpc", "GetPrefabComponent", Ref(m_iPrefab)), 0, &m_iGait, true);
    }
    // bRemoved: the prefab was removed already, a second removal is refused.
    bool ReleaseCharacter(bool bRemoved)
    {
        return Ack(Own("GaitComponentRpc", "ReleaseRef"), "{\"Res\":0}") &&
               Ack(Own("PrefabManager", "RemovePrefab", Ref(m_iPrefab)), bRemoved ? kFalse : kTrue) &&
               Ack(Own("Prefab", "ReleaseRef"), "{\"Res\":0}") &&
               AckNumber(Own("PrefabManager", "ReleaseRef"), 1);  // the root keeps one
    }

    bool NormalRound() { return Chance(0.1) ? FaultyFrame() : Session(); }
    bool Session()
    {
        m_iLastCount = 0;
        const bool bOwn = Chance(0.5);
        if (bOwn && !LoadCharacter())
            return false;
        for (uint32_t uiCalls = 20 + Pick(100); uiCalls > 0 && !m_kRun.bStop; --uiCalls)
            if (!Operation(bOwn))
                return false;
        // Once the last call is answered every frame before it was read.
        return (!bOwn || (Chance(0.3) ? RemovedWhileHeld() : ReleaseCharacter(false))) &&
               Ack(Request("Root", "KeepAlive"), kTrue) && (Chance(0.3) || CloseCleanly());
    }
    bool Operation(bool bOwn)
    {
        const SCall& kRefusal = kRefused[Pick(bOwn ? kRefusedCount : kOwnFrom)];
        const SUnrunnable& kFrame = kUnrunnable[Pick(kUnrunnable.size())];
        // Valid, without "WaitAck": each must run exactly once.
        const std::string akNoAck[] = {Request("Root", "KeepAlive", 0, false, "", Chance(0.5)),
                                       Request("Root", "GetExecutedCount", 0, false, "", Chance(0.5)),
                                       Own("Prefab", "GetPosition", "", false),
                                       Own("GaitComponentRpc", "SetSpeed", "0.5", false)};
        switch (Pick(bOwn ? 11 : 7))
        {
            case 0:
                return Ack(Request("Root", "KeepAlive", 0, true, "", Chance(0.5)), kTrue) &&
                       Ack(Request("Root", "IsLoadingFinished"), kTrue);
            case 1:
                // Each reading counts itself: they grow along one connection.
                return AckNumber(Request("Root", "GetExecutedCount", 0, true, "", Chance(0.5)), m_iLastCount + 1,
                                 &m_iLastCount);
            case 2:
                return Silent(Frame(akNoAck[Pick(bOwn ? 4 : 2)]), 1);
            case 3:
                // Refused: its error, or without "WaitAck" not run, no reply.
                return Chance(0.5) ? Ack(Own(kRefusal), ErrorReply(kRefusal.pError))
                                   : Silent(Frame(Own(kRefusal, false)));
            case 4:
            case 5:
                return kFrame.kReply.empty() ? Silent(Frame(kFrame.kText)) : Ack(kFrame.kText, kFrame.kReply);
            case 6:
                // A singleton handed out and given back.
                return Ack(Request("GaitComponentBuilderRpc", "GetRPCSingleton"), "{\"Res\":" + Ref(0) + "}") &&
                       AckNumber(Request("GaitComponentBuilderRpc", "ReleaseRef"), 0);
            case 7:
                return Echo();
            case 8:
                return Steer();
            case 9:
                return Reload();
            default:
                // Asking again gives the same object and one more reference.
                return Ack(Own("GaitComponentBuilderRpc", "GetPrefabComponent", Ref(m_iPrefab)),
                           "{\"Res\":" + Ref(m_iGait) + "}") &&
                       Ack(Own("GaitComponentRpc", "ReleaseRef"), "{\"Res\":1}");
        }
    }
    // A character on standby stays where it is put.
    bool Echo()
    {
        const double dX = (++m_uiSequence % 997) + 0.25, dY = Pick(100) + 0.5;
        char acPosition[96];
        snprintf(acPosition, sizeof(acPosition), "{\"x\":%.2f,\"y\":%.2f,\"z\":0}", dX, dY);
        return Ack(Own("GaitComponentRpc", "Activate", "false"), kVoid) &&
               Ack(Own("GaitComponentRpc", "IsActive"), kFalse) &&
               Ack(Own("Prefab", "SetPosition", acPosition), kVoid) && Ack(Own("Prefab", "GetPosition"), kPosition) &&
               ((m_adNumbers[0] == dX && m_adNumbers[1] == dY && m_adNumbers[2] == 0) ||
                Fail("moved on standby: " + m_kBody));
    }
    bool Steer()
    {
        const double dHalfYaw = (Pick(360) - 180.0) * M_PI / 360.0;
        char acRotation[96];
        snprintf(acRotation, sizeof(acRotation), "{\"x\":0,\"y\":0,\"z\":%.6f,\"w\":%.6f}", std::sin(dHalfYaw),
                 std::cos(dHalfYaw));
        return Ack(Own("GaitComponentRpc", "Activate", "true"), kVoid) &&
               Ack(Own("GaitComponentRpc", "IsActive"), kTrue) &&
               Ack(Own("GaitComponentRpc", "SetRotation", acRotation), kVoid) &&
               Ack(Own("GaitComponentRpc", "SetSpeed", std::to_string(Pick(200) / 100.0)), kVoid) &&
               (Chance(0.8) ||
                (Ack(Own("GaitComponentRpc", "Reset"), kVoid) && Ack(Own("GaitComponentRpc", "IsActive"), kTrue))) &&
               UnitRotation();
    }
    // The demo document, part of it, or an unusable one: {} either way.
    bool Reload()
    {
        static const char* const s_apInvalid[] = {"", "{", "[]", "{}", "{\"Binds\":\"x\"}", "not json"};
        const std::string& kValid = m_kRun.kGait;
        const std::string kDocument = Chance(0.4)   ? kValid
                                      : Chance(0.5) ? kValid.substr(0, Pick(kValid.size()))
                                                    : std::string(s_apInvalid[Pick(6)]);
        return Ack(Own("GaitComponentRpc", "ReloadFromJson", JsonString(kDocument)), kVoid);
    }
    // Removed while held: calls are refused, references go back normally.
    bool RemovedWhileHeld()
    {
        const std::string akCalls[] = {
            Own("GaitComponentRpc", "SetSpeed", "1.0"),
            Own("GaitComponentRpc", "SetRotation", "{\"x\":0,\"y\":0,\"z\":0.38,\"w\":0.92}"),
            Own("GaitComponentRpc", "Activate", "true"),
            Own("GaitComponentRpc", "IsActive"),
            Own("GaitComponentRpc", "Reset"),
            Own("GaitComponentRpc", "ReloadFromJson", "\"{}\""),
            Own("Prefab", "GetPosition"),
            Own("Prefab", "GetOrientation"),
            Own("Prefab", "SetPosition", "{\"x\":1,\"y\":2,\"z\":0}"),
            Own("GaitComponentBuilderRpc", "GetPrefabComponent", Ref(m_iPrefab))};
        bool bOk = Ack(Own("PrefabManager", "RemovePrefab", Ref(m_iPrefab)), kTrue);
        for (uint32_t uiCalls = 2 + Pick(4); bOk && uiCalls > 0; --uiCalls)
            bOk = Ack(akCalls[Pick(10)], ErrorReply(kRemoved));
        return bOk && ReleaseCharacter(true);
    }
    // A frame cut off by closing, or one over the limit: the host closes.
    bool FaultyFrame()
    {
        const std::string kCall = Request("Root", "KeepAlive", 0, false);  // would run, had it come whole
        const uint32_t uiAnnounced = 1 + Pick(1u << 20);
        const std::string akCut[] = {Frame(kCall).substr(0, 4 + Pick(kCall.size())),
                                     Header(uiAnnounced) + std::string(Pick(std::min(uiAnnounced, 4096u)), '{'),
                                     Header(1 + Pick(1000)).substr(0, 1 + Pick(3))};
        if (Chance(0.6))
            return Silent(akCut[Pick(3)]);  // the caller closes the connection
        m_kLast = "(a frame over the limit)";
        m_kSocket.Send(Header(kMaxFrameBytes + 1 + Pick(kCloseMarker - kMaxFrameBytes - 2)) +
                       std::string(Pick(64), 'x'));  // may be cut short
        char cByte = 0;
        const ERead eRead = m_kSocket.Read(&cByte, 1, kReplyMs);
        return eRead == ERead::Closed || Fail("a frame over the limit left the connection open");
    }

    // Batches without "WaitAck" larger than the host's allowance, so that
    // TCP holds them back: all run but the speeds out of range.
    bool FloodRound()
    {
        // A member the host ignores makes the first flood's frames longer.
        const std::string kPad = m_uiIndex == 0 ? ",\"Padding\":\"" + std::string(200, 'p') + "\"" : "";
        bool bOk = LoadCharacter();
        for (uint32_t uiBatches = 5 + Pick(20); bOk && uiBatches > 0 && !m_kRun.bStop; --uiBatches)
        {
            std::string kBatch;
            uint64_t uiMustRun = 0;
            for (uint32_t i = 0; i < kFloodBatch; ++i)
            {
                const uint32_t uiPick = Pick(16);
                std::string kRequest = uiPick == 0  ? Own("GaitComponentRpc", "SetSpeed", "11", false)
                                       : uiPick < 4 ? Request("Root", "KeepAlive", 0, false, "", Chance(0.5))
                                       : uiPick < 8
                                           ? Own("GaitComponentRpc", "SetSpeed", std::to_string(Pick(3)), false)
                                           : Request("Root", "IsLoadingFinished", 0, false);
                kBatch += Frame(kRequest.insert(kRequest.size() - 1, kPad));
                uiMustRun += uiPick != 0;
            }
            // Answered once the batch ran; the rest leaves the cores to others.
            bOk = Silent(kBatch, uiMustRun) && Ack(Request("Root", "KeepAlive"), kTrue);
            std::this_thread::sleep_for(300ms);
        }
        return bOk && ReleaseCharacter(false) && CloseCleanly();
    }
    // Part of a frame: closed after the frame time, no reply, logged. A
    // whole frame before it must run.
    bool HalfFrameRound()
    {
        const std::string kPeer = m_kSocket.Name(), kWhole = Frame(Request("Root", "KeepAlive", 0, false));
        const uint32_t uiLogged = m_kRun.pHost->Closed(kStalledLine, kPeer), uiPick = Pick(3);
        const std::string kFrame = Frame(Request("Root", "KeepAlive", 0, Chance(0.5)));
        const std::string kPart = uiPick == 0   ? kFrame.substr(0, 1 + Pick(3))
                                  : uiPick == 1 ? kFrame.substr(0, 4 + Pick(kFrame.size() - 4))
                                                : kWhole + kFrame.substr(0, 1 + Pick(kFrame.size() - 1));
        if (!Silent(kPart, uiPick == 2))
            return false;
        char cByte = 0;
        ERead eRead = ERead::TimedOut;
        for (const Clock::time_point kStart = Clock::now(); eRead == ERead::TimedOut && !m_kRun.bStop;)
            if ((eRead = m_kSocket.Read(&cByte, 1, 100)) == ERead::TimedOut && SecondsSince(kStart) > 4 * kFrameSeconds)
                return Fail("a connection holding part of a frame stayed open for 40 s");
        return eRead == ERead::Closed ? Logged(kStalledLine, kPeer, uiLogged)
                                      : eRead == ERead::TimedOut || Fail("bytes came back after part of a frame");
    }
    // Unparsable frames asking for replies, never read, until the host
    // reads no more; it must give up, log it and close, leaving only error
    // replies to read.
    bool DeafRound()
    {
        const std::string kPeer = m_kSocket.Name(), kFrame = Frame("{\"WaitAck\":true,}");
        const uint32_t uiLogged = m_kRun.pHost->Closed(kDeafLine, kPeer);
        std::string kChunk;
        for (uint32_t i = 0; i < 256; ++i)
            kChunk += kFrame;
        m_kLast = kFrame + " (over and over, never reading)";
        // Whole frames only (else a stalled frame), and far more than fit
        // the host's send buffer (some 20000) before quiet means stopped.
        uint64_t uiBytes = 0;
        for (Clock::time_point kProgress = Clock::now();;)
        {
            const size_t uiAt = uiBytes % kChunk.size();
            pollfd kPoll = {m_kSocket.iFd, POLLOUT, 0};
            const ssize_t iSent = poll(&kPoll, 1, 100) != 1 ? 0
                                                            : send(kPoll.fd, kChunk.data() + uiAt, kChunk.size() - uiAt,
                                                                   MSG_NOSIGNAL | MSG_DONTWAIT);
            if (iSent < 0 && errno != EAGAIN && errno != EINTR)
                break;  // closed by the host already
            if (iSent > 0)
                uiBytes += size_t(iSent), kProgress = Clock::now();
            else if (uiBytes % kFrame.size() == 0 && uiBytes / kFrame.size() >= 60000 && SecondsSince(kProgress) > 1.0)
                break;  // the host reads no more
            if (m_kRun.bStop || SecondsSince(kProgress) > 2 * kFrameSeconds || uiBytes > (64u << 20))
                return m_kRun.bStop || Fail(uiBytes > (64u << 20) ? "the host took 64 MiB of requests unanswered"
                                                                  : "the connection took nothing for 20 s, still open");
        }
        if (!Logged(kDeafLine, kPeer, uiLogged) || m_kRun.bStop)
            return !m_kRun.bFailed;
        const std::string kReply = ErrorReply(kNotObject, false);
        uint64_t uiReplies = 0;
        ERead eRead = ERead::Frame;
        while ((eRead = m_kSocket.ReadFrame(m_kBody, 10000)) == ERead::Frame && m_kBody.rfind(kReply, 0) == 0)
            ++uiReplies;
        if (eRead == ERead::TimedOut || eRead == ERead::Frame)
            return Fail(eRead == ERead::Frame ? "a client that never read found " + m_kBody : kPeer + " stayed open");
        return uiReplies <= uiBytes / kFrame.size() || Fail("more replies than requests");
    }
    // Idle past the frame time between requests: still served.
    bool IdleRound()
    {
        for (const Clock::time_point kStart = Clock::now();
             SecondsSince(kStart) < kFrameSeconds + 1.0 && !m_kRun.bStop;)
            std::this_thread::sleep_for(50ms);
        return m_kRun.bStop || (Ack(Request("Root", "KeepAlive"), kTrue) && CloseCleanly());
    }

    // 16 acknowledged calls on their way until the host closes: each it
    // read is answered in order, the others get nothing.
    void Pipeline(int64_t iCountBefore)
    {
        std::deque<bool> kCounts;  // per request on its way: whether it reads the count
        bool bSending = true;
        const auto SendNext = [&] {
            const bool bCount = Chance(0.25);
            bSending = bSending &&
                       m_kSocket.Send(Frame(bCount ? Request("Root", "GetExecutedCount")
                                                   : Request("Root", Chance(0.5) ? "KeepAlive" : "IsLoadingFinished")));
            if (bSending)
                kCounts.push_back(bCount);
        };
        for (uint32_t i = 0; i < 16; ++i)
            SendNext();
        m_iLastCount = iCountBefore;
        for (;; SendNext())
        {
            const ERead eRead = m_kSocket.ReadFrame(m_kBody);
            if (eRead != ERead::Frame)
                return (void)(eRead == ERead::Closed ||
                              Fail(eRead == ERead::Partial ? "the connection ended in the middle of a reply"
                                                           : "neither a reply nor the end within 30 s"));
            if (kCounts.empty())
                return (void)Fail("a reply to nothing: " + m_kBody);
            const bool bCount = kCounts.front();
            kCounts.pop_front();
            if (!(bCount ? Shape() == kNumber && m_adNumbers[0] > m_iLastCount : m_kBody == kTrue))
                return (void)Fail("unexpected reply " + m_kBody);
            m_iLastCount = bCount ? static_cast<int64_t>(m_adNumbers[0]) : m_iLastCount;
            m_uiPipelined++;
        }
    }

    // The control connection's: the count, and the walking character.
    int64_t ReadCount(bool bTcpThread)
    {
        int64_t iCount = -1;
        AckNumber(Request("Root", "GetExecutedCount", 0, true, "", bTcpThread), 1, &iCount);
        return iCount;
    }
    bool StartWalker()
    {
        return LoadCharacter() && Ack(Own("GaitComponentRpc", "Activate", "true"), kVoid) &&
               Ack(Own("GaitComponentRpc", "SetSpeed", "1.0"), kVoid) && CheckWalker();
    }
    // Each reading but the first follows a call it must refuse; it must have
    // moved, stay within reach of 1 m/s and keep a unit rotation.
    bool CheckWalker()
    {
        const SCall& kRefusal = kRefused[kOwnFrom + m_uiReadings % (kRefusedCount - kOwnFrom)];
        if ((m_uiReadings++ > 0 && !Ack(Own(kRefusal), ErrorReply(kRefusal.pError))) || !UnitRotation() ||
            !Ack(Own("Prefab", "GetPosition"), kPosition))
            return false;
        const double dX = m_adNumbers[0], dY = m_adNumbers[1], dMoved = std::hypot(dX - m_dLastX, dY - m_dLastY);
        m_dLastX = dX, m_dLastY = dY;
        return std::hypot(dX, dY) > 1000.0
                   ? Fail("the walking character strayed to " + m_kBody)
                   : m_uiReadings == 1 || dMoved > 1e-4 || Fail("the walking character stopped at " + m_kBody);
    }
    bool StopWalker() { return Ack(Own("GaitComponentRpc", "SetSpeed", "0"), kVoid) && ReleaseCharacter(false); }

    SRun& m_kRun;
    std::string m_kName;
    std::mt19937_64 m_kRandom;
    uint32_t m_uiIndex;
    SSocket m_kSocket;
    std::string m_kBody, m_kLast;  // the last reply, and the last request for a failure's report
    double m_adNumbers[4] = {};
    int64_t m_iManager = -1, m_iPrefab = -1, m_iGait = -1, m_iLastCount = 0;
    uint32_t m_uiSequence = 0, m_uiReadings = 0;
    double m_dLastX = 0.0, m_dLastY = 0.0;
    std::atomic<uint64_t> m_uiPipelined{0};
};

// A slow round starts only when it fits before the end; a small window
// fills up quickly.
const struct SKind
{
    const char* pName;
    uint32_t uiClients;  // the normal ones: --clients
    double dRoundSeconds;
    int iReceiveBuffer;
    bool (CClient::*pRound)();
} kKinds[kKindCount] = {{"client", 0, 0.0, 0, &CClient::NormalRound},
                        {"flood", 3, 0.0, 0, &CClient::FloodRound},
                        {"half frame", 3, 13.0, 0, &CClient::HalfFrameRound},
                        {"never reading", 2, 14.0, 4096, &CClient::DeafRound},
                        {"idle", 1, 13.0, 0, &CClient::IdleRound}};
constexpr uint32_t kHostileClients = 9;

void CClient::Run(uint32_t uiKind)
{
    const SKind& kKind = kKinds[uiKind];
    // Spread out: the host accepts some 100 connections a second.
    std::this_thread::sleep_for(std::chrono::milliseconds(Pick(1000)));
    while (!m_kRun.bStop)
        if (std::chrono::duration<double>(m_kRun.kEnd - Clock::now()).count() < kKind.dRoundSeconds)
            std::this_thread::sleep_for(250ms);
        else if (!(Connect(kKind.iReceiveBuffer) && (this->*kKind.pRound)()))
            return;
        else
            m_kSocket.Close(), m_kRun.auiRounds[uiKind] += !m_kRun.bStop;
}

// Beside the control connection, exactly 63 more served and the next
// closed without a reply (closed ones may count for a moment yet).
bool ProbeConnectionLimit(SRun& kRun)
{
    for (const Clock::time_point kStart = Clock::now();; std::this_thread::sleep_for(200ms))
    {
        std::vector<std::unique_ptr<SSocket>> kHeld;
        bool bRefused = false;
        for (std::string kBody; !bRefused && kHeld.size() < kMaxConnections;)
        {
            kHeld.push_back(std::make_unique<SSocket>());
            const bool bSent = kHeld.back()->Open(kRun.uiPort) &&
                               kHeld.back()->Send(Frame(Request("Root", "KeepAlive", 0, true, "", true)));
            const ERead eRead = bSent ? kHeld.back()->ReadFrame(kBody) : ERead::Closed;
            bRefused = eRead == ERead::Closed && kBody.empty();
            if (!bRefused && (eRead != ERead::Frame || kBody != kTrue))
                return kRun.Fail("connection limit: a connection neither served nor refused: " + kBody);
            kRun.uiMustRun += !bRefused;
        }
        if (bRefused && kHeld.size() == kMaxConnections)
            return true;
        if (!bRefused || SecondsSince(kStart) > 10.0)
            return kRun.Fail("connection limit: the host served " + std::to_string(kHeld.size() + !bRefused) +
                             " connections at once");
    }
}

// SIGINT while clients pipeline: the count before plus the replies after
// must be what the host says it ran. The host's exit code.
int ShutdownUnderLoad(SRun& kRun, SHost& kHost, CClient& kControl, uint64_t uiSeed)
{
    std::vector<std::unique_ptr<CClient>> kClients;
    for (uint32_t i = 0; i < 6; ++i)
    {
        kClients.push_back(std::make_unique<CClient>(kRun, "pipelining client " + std::to_string(i), uiSeed + i));
        if (!kClients.back()->Connect())
            return kHost.Stop(60000);
    }
    // The last command before the pipelining.
    const int64_t iBefore = kControl.ReadCount(false);
    if (iBefore <= 0 || !kControl.CloseCleanly())
        return kHost.Stop(60000);
    std::vector<std::thread> kThreads;
    for (const auto& pClient : kClients)
        kThreads.emplace_back([&pClient, iBefore] { pClient->Pipeline(iBefore); });
    // Under way on every connection, then the signal.
    for (const Clock::time_point kStart = Clock::now();
         SecondsSince(kStart) < 30 && !kRun.bFailed &&
         std::any_of(kClients.begin(), kClients.end(), [](const auto& p) { return p->m_uiPipelined < 200; });)
        std::this_thread::sleep_for(20ms);
    const int iExit = kHost.Stop(60000);
    uint64_t uiReplies = 0;
    int64_t iLastReading = 0;
    for (size_t i = 0; i < kThreads.size(); ++i)
    {
        kThreads[i].join();
        uiReplies += kClients[i]->m_uiPipelined, iLastReading = std::max(iLastReading, kClients[i]->m_iLastCount);
    }
    const int64_t iStopped = kHost.iStoppedAfter;
    if (iStopped < 0 || static_cast<uint64_t>(iStopped - iBefore) != uiReplies || iLastReading > iStopped)
        kRun.Fail("stopped under load, the host says it ran " + std::to_string(iStopped) + " commands; " +
                  std::to_string(iBefore) + " had run before and " + std::to_string(uiReplies) +
                  " replies came after (last count read " + std::to_string(iLastReading) + ")");
    return iExit;
}

int Soak(const std::string& kHostPath, double dSeconds, uint32_t uiClients, uint64_t uiSeed)
{
    SRun kRun;
    SHost kHost;
    std::ifstream kGait(TARN_DEMO_GAIT_DOCUMENT);
    kRun.kGait.assign(std::istreambuf_iterator<char>(kGait), std::istreambuf_iterator<char>());
    if (kRun.kGait.empty() || !kHost.Start(kHostPath))
        return printf("soak: FAIL: no gait document, or no ready line from the host\n"), 1;
    kRun.uiPort = kHost.uiPort;
    kRun.pHost = &kHost;
    long lPeakKb = -1, lFirstHalfKb = -1;
    const auto Resident = [&] {
        const long lRssKb = kHost.StatusKb("VmRSS"), lHwmKb = kHost.StatusKb("VmHWM");
        lPeakKb = std::max(lPeakKb, lRssKb);
        if (kBoundResident && std::max(lRssKb, lHwmKb) >= kResidentLimitKb)
            kRun.Fail("the host's resident size reached " + std::to_string(std::max(lRssKb, lHwmKb)) + " kB");
        return lRssKb;
    };
    CClient kControl(kRun, "control", uiSeed);
    const int64_t iFirstCount = kControl.Connect() && kControl.StartWalker() ? kControl.ReadCount(true) : -1;
    kRun.uiMustRun = 0;
    const Clock::time_point kStart = Clock::now();
    kRun.kEnd = kStart + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(dSeconds));
    std::vector<std::thread> kThreads;
    for (uint32_t k = 0; k < kKindCount && iFirstCount > 0; ++k)
        for (uint32_t i = 0; i < (k == 0 ? uiClients : kKinds[k].uiClients); ++i)
            kThreads.emplace_back([&kRun, k, i, uiSeed] {
                CClient(kRun, kKinds[k].pName + (" " + std::to_string(i)), uiSeed * 1000003u + 1000u * k + i, i).Run(k);
            });
    for (double dNow = 0.0, dNextSample = 0.0, dNextWalk = 2.0; !kRun.bStop && (dNow = SecondsSince(kStart)) < dSeconds;
         std::this_thread::sleep_for(50ms))
    {
        if (kHost.Exited())
            kRun.Fail("the host exited during the run");
        if (dNow >= dNextSample)
            Resident(), lFirstHalfKb = lFirstHalfKb < 0 && dNow >= dSeconds / 2 ? lPeakKb : lFirstHalfKb,
                        dNextSample = dNow + 1.0;
        // At least 2 s apart, whatever held the loop up.
        if (dNow >= dNextWalk && kControl.CheckWalker())
            dNextWalk = SecondsSince(kStart) + 2.0;
    }
    kRun.bStop = true;
    for (std::thread& kThread : kThreads)
        kThread.join();
    // The size swings by a third under the hostile load and the allocator
    // keeps the highest swing: the first half's largest is the reference.
    const long lEndKb = Resident();
    if (kBoundGrowth && !kRun.bFailed && lEndKb > lFirstHalfKb * 11 / 10)
        kRun.Fail("the host's resident size went from at most " + std::to_string(lFirstHalfKb) +
                  " kB over the first half of the run to " + std::to_string(lEndKb) + " kB at the end");
    if (!kRun.bFailed && iFirstCount > 0 && ProbeConnectionLimit(kRun) && kControl.StopWalker())
    {
        // On the engine thread, after every request queued before it.
        const int64_t iEndCount = kControl.ReadCount(false);
        if (iEndCount > 0 && static_cast<uint64_t>(iEndCount - iFirstCount) != kRun.uiMustRun)
            kRun.Fail("the host ran " + std::to_string(iEndCount - iFirstCount) + " commands, not " +
                      std::to_string(kRun.uiMustRun));
    }
    const int iExit = kRun.bFailed ? kHost.Stop(60000) : ShutdownUnderLoad(kRun, kHost, kControl, uiSeed);
    if (iExit != 0)
        kRun.Fail(iExit < 0 ? "the host did not exit within 60 s of SIGINT"
                            : "the host exited with " + std::to_string(iExit) + (iExit == 3 ? " (a leak)" : ""));
    else if (!kHost.bNoLeak)
        kRun.Fail("no \"Leak detected : 0\" line from the host");
    std::string kRounds;
    for (uint32_t k = 0; k < kKindCount; ++k)
        kRounds += std::string(k ? ", " : "") + kKinds[k].pName + " " + std::to_string(kRun.auiRounds[k]);
    printf("soak: %.0f s, seed %llu: %llu replies; rounds: %s; largest resident size %ld kB\n", dSeconds,
           static_cast<unsigned long long>(uiSeed), static_cast<unsigned long long>(kRun.uiReplies), kRounds.c_str(),
           lPeakKb);
    for (const std::string& kFailure : kRun.kFailures)
        printf("soak: FAIL: %s\n", kFailure.c_str());
    return kRun.bFailed ? 1 : (printf("soak: ok\n"), 0);
}

}  // namespace

int main(int iArgc, char** ppArgv)
{
    // Room beside the control and hostile connections, and some to reap.
    constexpr uint32_t kMaxClients = kMaxConnections - 1 - kHostileClients - 4;
    std::map<std::string, std::string> kOptions = {
        {"--host", ""}, {"--seconds", "60"}, {"--clients", "32"}, {"--seed", std::to_string(std::random_device{}())}};
    int i = 1;
    for (; i + 1 < iArgc && kOptions.count(ppArgv[i]); i += 2)
        kOptions[ppArgv[i]] = ppArgv[i + 1];
    const double dSeconds = std::atof(kOptions["--seconds"].c_str());
    const uint32_t uiClients = static_cast<uint32_t>(std::atoi(kOptions["--clients"].c_str()));
    if (i < iArgc || kOptions["--host"].empty() || !(dSeconds >= 5.0) || uiClients < 1 || uiClients > kMaxClients)
        return printf("usage: tarn-soak-test --host PATH [--seconds S (60, at least 5)] [--clients N (32, at most "
                      "%u)] [--seed N]\n",
                      kMaxClients),
               i < iArgc && !strcmp(ppArgv[i], "--help") ? 0 : 2;
    signal(SIGPIPE, SIG_IGN);
    return Soak(kOptions["--host"], dSeconds, uiClients, std::strtoull(kOptions["--seed"].c_str(), nullptr, 10));
}
