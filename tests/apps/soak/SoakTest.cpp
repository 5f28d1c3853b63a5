// Soak and fault test of tarn-host.
//
// Starts `tarn-host --demo 50 --port 0` as a child process and drives it over
// loopback (60 s and 32 client threads by default). Each client runs sessions
// on one connection mixing valid calls with "WaitAck", calls without it,
// malformed frames (not JSON, not an object, nested too deep, envelope members
// of the wrong type), empty frames and calls that must fail; half of the
// sessions load a character of their own and drive its Gait component. Other
// connections send a frame over the 16 MiB limit or cut a frame off by
// disconnecting. Every 10 s (from 5 s on, before the warm-up ends) the clients
// pause and the connection limit is probed. The run fails, with the reason, when:
//  - the host exits before it is told to stop;
//  - an acknowledged request gets no reply, or one that does not fit it (exact
//    IDs, reference counts and echoed values where they are known, a command
//    count growing along one connection), or bytes follow the last reply (the
//    close marker must come back alone);
//  - "Root"."GetExecutedCount" at the end differs from the number of requests
//    that had to run: each acknowledged one not answered by an error and each
//    valid one sent without "WaitAck". Malformed or failing requests, and
//    frames that never arrived whole, must not run;
//  - a frame over the limit leaves its connection open, or the host serves
//    other than 64 connections at once while the clients pause;
//  - the test's own walking character stops moving;
//  - the host's resident size at the end is over 10 % above its size after
//    the warm-up (not in sanitizer builds, whose allocators hold memory back);
//  - stopped with SIGINT, the host does not exit with code 0 (3: memory leaked)
//    within 60 s, or logs more refused frames than were sent.
// The random choices come from one seed, printed and settable with --seed;
// thread timing still varies from run to run.
#include <rapidjson/document.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fstream>
#include <memory>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kMaxFrameBytes = 16u << 20;
constexpr uint32_t kMaxConnections = 64;
constexpr uint32_t kCloseMarker = 0xFFFFFFFFu;
constexpr int kReplyTimeoutMs = 30000;
constexpr int64_t kDeadInstance = 2147483000; // never handed out in one run
constexpr const char* kPrefab = "\"demo/biped.prefab.json\"";
// A sanitizer's allocator holds freed memory back (quarantine): the resident
// size is then reported, not held to the bound.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kBoundResidentSize = false;
#else
constexpr bool kBoundResidentSize = true;
#endif

double SecondsSince(Clock::time_point kStart)
{
    return std::chrono::duration<double>(Clock::now() - kStart).count();
}

// What the test sent and received, by kind, and what went wrong.
enum EKind : uint32_t
{
    KindAckValid,
    KindAckFailing,
    KindWrongMember,
    KindNoAckValid,
    KindNoAckFailing,
    KindNotJson,
    KindNotObject,
    KindTooDeep,
    KindEmpty,
    KindOversized,
    KindCutOff,
    KindProbeServed,
    KindProbeRefused,
    KindReplies,
    KindErrorReplies,
    KindSessions,
    KindCharacters,
    KindResetUnserved,
    KindCount
};
const char* const kKindNames[KindCount] = {"acknowledged, valid",
                                           "acknowledged, failing",
                                           "acknowledged, wrong envelope member",
                                           "no WaitAck, valid (must run)",
                                           "no WaitAck, failing (must not run)",
                                           "frame not JSON",
                                           "frame not an object",
                                           "frame nested too deep",
                                           "empty frame",
                                           "frame over the limit",
                                           "frame cut off",
                                           "limit probe: served",
                                           "limit probe: refused",
                                           "replies",
                                           "error replies",
                                           "sessions",
                                           "characters loaded",
                                           "connections reset before served (retried)"};

struct SRun
{
    uint16_t uiPort = 0;
    std::string kGaitDocument;
    Clock::time_point kStart = Clock::now();
    std::atomic<bool> bStop{false};
    std::atomic<uint64_t> auiKinds[KindCount] = {};
    std::atomic<uint64_t> uiMustHaveRun{0}; // since the first reading of the count
    std::mutex kFailLock;
    std::vector<std::string> kFailures;

    void Count(EKind eKind) { auiKinds[eKind].fetch_add(1, std::memory_order_relaxed); }
    bool Fail(const std::string& kWhat)
    {
        char acWhen[32];
        snprintf(acWhen, sizeof(acWhen), "t=%.2f s: ", SecondsSince(kStart));
        std::lock_guard<std::mutex> kGuard(kFailLock);
        if (kFailures.size() < 20)
            kFailures.push_back(acWhen + kWhat);
        bStop.store(true);
        return false;
    }
};

// Lets client sessions run, or holds new ones back and waits for the running
// ones to end while the connection limit is probed.
class CGate
{
public:
    // False when the run stops; *pbWaited: whether the gate was closed.
    bool Enter(const std::atomic<bool>& bStop, bool* pbWaited)
    {
        std::unique_lock<std::mutex> kGuard(m_kLock);
        *pbWaited = !m_bOpen;
        m_kChanged.wait(kGuard, [&] { return m_bOpen || bStop.load(); });
        m_uiInside += bStop.load() ? 0 : 1;
        return !bStop.load();
    }
    void Leave()
    {
        std::lock_guard<std::mutex> kGuard(m_kLock);
        --m_uiInside;
        m_kChanged.notify_all();
    }
    // Running sessions see it and wrap up early.
    bool IsClosing() const { return m_bClosing.load(); }
    void Close()
    {
        std::unique_lock<std::mutex> kGuard(m_kLock);
        m_bOpen = false;
        m_bClosing.store(true);
        m_kChanged.wait(kGuard, [&] { return m_uiInside == 0; });
    }
    void Open()
    {
        std::lock_guard<std::mutex> kGuard(m_kLock);
        m_bOpen = true;
        m_bClosing.store(false);
        m_kChanged.notify_all();
    }

private:
    std::mutex m_kLock;
    std::condition_variable m_kChanged;
    uint32_t m_uiInside = 0;
    bool m_bOpen = true;
    std::atomic<bool> m_bClosing{false};
};

// The host process, its output on a pipe that a thread drains, counting the
// lines that report refused frames.
class CHostProcess
{
public:
    enum EMarker : uint32_t
    {
        MarkEmpty,
        MarkTooLong,
        MarkRefused,
        MarkNotObject,
        MarkTooDeep,
        MarkNoLeak,
        MarkCount
    };

    ~CHostProcess() { Stop(0); }

    bool Start(const std::string& kPath, const std::string& kLog)
    {
        int aiPipe[2];
        if (pipe2(aiPipe, O_CLOEXEC) != 0)
            return false;
        m_iPid = fork();
        if (m_iPid == 0)
        {
            prctl(PR_SET_PDEATHSIG, SIGKILL); // never outlive the test
            dup2(aiPipe[1], 1);
            dup2(aiPipe[1], 2);
            const char* apArgs[] = {kPath.c_str(), "--demo", "50", "--port", "0", "--log", kLog.c_str(), nullptr};
            apArgs[kLog.empty() ? 5 : 7] = nullptr;
            execv(kPath.c_str(), const_cast<char* const*>(apArgs));
            _exit(127);
        }
        close(aiPipe[1]);
        if (m_iPid < 0)
            return close(aiPipe[0]), false;
        m_kReader = std::thread([this, iPipe = aiPipe[0]] { Drain(iPipe); });
        std::unique_lock<std::mutex> kGuard(m_kLock);
        m_kChanged.wait_for(kGuard, std::chrono::seconds(120), [&] { return m_uiPort != 0 || m_bEnded; });
        return m_uiPort != 0;
    }
    uint16_t GetPort() const { return m_uiPort; }
    bool HasExited()
    {
        if (!m_bReaped && m_iPid > 0 && waitpid(m_iPid, &m_iStatus, WNOHANG) == m_iPid)
            m_bReaped = true;
        return m_bReaped;
    }
    // SIGINT, then a wait: the exit code, or -1 when it had to be killed.
    int Stop(int iTimeoutMs)
    {
        if (m_iPid <= 0)
            return -1;
        const Clock::time_point kAsked = Clock::now();
        if (!HasExited())
            kill(m_iPid, SIGINT);
        while (!HasExited() && SecondsSince(kAsked) * 1000 < iTimeoutMs)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        const bool bKilled = !HasExited();
        if (bKilled)
            kill(m_iPid, SIGKILL), waitpid(m_iPid, &m_iStatus, 0);
        m_iPid = -1;
        m_kReader.join(); // the pipe ends with the process
        return bKilled ? -1 : WIFEXITED(m_iStatus) ? WEXITSTATUS(m_iStatus) : 128 + WTERMSIG(m_iStatus);
    }
    long ResidentKb() const
    {
        std::ifstream kStatus("/proc/" + std::to_string(m_iPid) + "/status");
        std::string kLine;
        while (std::getline(kStatus, kLine))
            if (kLine.rfind("VmRSS:", 0) == 0)
                return std::atol(kLine.c_str() + 6);
        return -1;
    }
    uint64_t Marked(EMarker eMarker)
    {
        std::lock_guard<std::mutex> kGuard(m_kLock);
        return m_auiMarked[eMarker];
    }
    std::string Tail()
    {
        std::lock_guard<std::mutex> kGuard(m_kLock);
        std::string kText;
        for (const std::string& kLine : m_kTail)
            kText += "  | " + kLine + "\n";
        return kText;
    }

private:
    void Drain(int iPipe)
    {
        static const char* const s_apMarkers[MarkCount] = {
            "empty message rejected",   "exceeds the limit of",
            "connections already open", "remote request is not a JSON object",
            "nests deeper than",        "Leak detected : 0 "};
        static const char* const s_pReady = "tarn-host ready: listening on 127.0.0.1:";
        char acBuffer[65536];
        std::string kPending;
        for (ssize_t iRead = 0; (iRead = read(iPipe, acBuffer, sizeof(acBuffer))) > 0 || (iRead < 0 && errno == EINTR);)
        {
            kPending.append(acBuffer, static_cast<size_t>(std::max<ssize_t>(iRead, 0)));
            for (size_t uiEnd = 0; (uiEnd = kPending.find('\n')) != std::string::npos; kPending.erase(0, uiEnd + 1))
            {
                std::lock_guard<std::mutex> kGuard(m_kLock);
                m_kTail.push_back(kPending.substr(0, uiEnd));
                for (uint32_t m = 0; m < MarkCount; ++m)
                    m_auiMarked[m] += m_kTail.back().find(s_apMarkers[m]) != std::string::npos;
                if (m_uiPort == 0 && m_kTail.back().rfind(s_pReady, 0) == 0)
                    m_uiPort = static_cast<uint16_t>(std::atoi(m_kTail.back().c_str() + strlen(s_pReady)));
                if (m_kTail.size() > 30)
                    m_kTail.pop_front();
                m_kChanged.notify_all();
            }
        }
        close(iPipe);
        std::lock_guard<std::mutex> kGuard(m_kLock);
        m_bEnded = true;
        m_kChanged.notify_all();
    }

    pid_t m_iPid = -1;
    bool m_bReaped = false;
    int m_iStatus = 0;
    std::thread m_kReader;
    std::mutex m_kLock;
    std::condition_variable m_kChanged;
    uint16_t m_uiPort = 0;
    bool m_bEnded = false;
    uint64_t m_auiMarked[MarkCount] = {};
    std::deque<std::string> m_kTail;
};

// One client connection, framed by hand so that any frame can be sent.
class CConnection
{
public:
    enum class ERead
    {
        Frame,
        CloseMarker,
        Closed,
        TimedOut
    };

    CConnection() = default;
    ~CConnection() { Close(); }
    CConnection(const CConnection&) = delete;
    CConnection& operator=(const CConnection&) = delete;

    bool Open(uint16_t uiPort)
    {
        Close();
        m_iSocket = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in kAddress = {};
        kAddress.sin_family = AF_INET;
        kAddress.sin_port = htons(uiPort);
        kAddress.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const int iOne = 1;
        setsockopt(m_iSocket, IPPROTO_TCP, TCP_NODELAY, &iOne, sizeof(iOne));
        return connect(m_iSocket, reinterpret_cast<sockaddr*>(&kAddress), sizeof(kAddress)) == 0;
    }
    void Close()
    {
        if (m_iSocket >= 0)
            close(m_iSocket);
        m_iSocket = -1;
    }
    bool Send(const std::string& kBytes)
    {
        for (size_t uiSent = 0; uiSent < kBytes.size();)
        {
            const ssize_t iSent = send(m_iSocket, kBytes.data() + uiSent, kBytes.size() - uiSent, MSG_NOSIGNAL);
            if (iSent < 0 && errno != EINTR)
                return false;
            uiSent += static_cast<size_t>(std::max<ssize_t>(iSent, 0));
        }
        return true;
    }
    static std::string Header(uint32_t uiLength)
    {
        const char acHeader[4] = {static_cast<char>(uiLength), static_cast<char>(uiLength >> 8),
                                  static_cast<char>(uiLength >> 16), static_cast<char>(uiLength >> 24)};
        return std::string(acHeader, 4);
    }
    static std::string Frame(const std::string& kBody) { return Header(static_cast<uint32_t>(kBody.size())) + kBody; }
    bool SendFrame(const std::string& kBody) { return Send(Frame(kBody)); }
    // Exactly uiLength bytes; Closed when the peer ends (or resets) first.
    ERead Read(char* pBytes, size_t uiLength)
    {
        const Clock::time_point kStart = Clock::now();
        while (uiLength > 0)
        {
            pollfd kPoll = {m_iSocket, POLLIN, 0};
            const int iLeftMs = kReplyTimeoutMs - static_cast<int>(SecondsSince(kStart) * 1000);
            if (iLeftMs <= 0 || poll(&kPoll, 1, iLeftMs) == 0)
                return ERead::TimedOut;
            const ssize_t iRead = recv(m_iSocket, pBytes, uiLength, 0);
            if (iRead == 0 || (iRead < 0 && errno != EINTR))
                return ERead::Closed;
            pBytes += std::max<ssize_t>(iRead, 0);
            uiLength -= static_cast<size_t>(std::max<ssize_t>(iRead, 0));
        }
        return ERead::Frame;
    }
    ERead ReadFrame(std::string& kBody)
    {
        unsigned char aucHeader[4];
        kBody.clear();
        const ERead eRead = Read(reinterpret_cast<char*>(aucHeader), 4);
        const uint32_t uiLength = aucHeader[0] | aucHeader[1] << 8 | aucHeader[2] << 16 | uint32_t(aucHeader[3]) << 24;
        if (eRead != ERead::Frame || uiLength == kCloseMarker)
            return eRead != ERead::Frame ? eRead : ERead::CloseMarker;
        if (uiLength > kMaxFrameBytes)
            return kBody = "(a reply announcing " + std::to_string(uiLength) + " bytes)", ERead::Closed;
        kBody.resize(uiLength);
        return Read(kBody.data(), uiLength);
    }
    // The close marker must come back alone, then the stream must end. An
    // error text, or empty.
    std::string CloseHandshake()
    {
        std::string kBody;
        ERead eRead = Send(Header(kCloseMarker)) ? ReadFrame(kBody) : ERead::Closed;
        if (eRead != ERead::CloseMarker)
            return eRead == ERead::Frame ? "a frame instead of the close marker: " + kBody : "no close marker back";
        char cExtra = 0;
        eRead = Read(&cExtra, 1);
        Close();
        return eRead == ERead::Closed ? std::string() : "the connection stayed open after the close marker";
    }

private:
    int m_iSocket = -1;
};

std::string JsonString(const std::string& kText)
{
    std::string kOut = "\"";
    for (const char c : kText)
    {
        char acEscape[8];
        snprintf(acEscape, sizeof(acEscape), "\\u%04x", static_cast<unsigned>(c));
        if (c == '"' || c == '\\')
            kOut += std::string("\\") + c;
        else
            kOut += static_cast<unsigned char>(c) < 0x20 ? std::string(acEscape) : std::string(1, c);
    }
    return kOut + "\"";
}

std::string Request(const char* pClass, const char* pMethod, int64_t iInstance, bool bWaitAck,
                    const std::vector<std::string>& kArgs = {}, bool bTcpThread = false)
{
    std::string kText = std::string("{\"ClassName\":\"") + pClass + "\",\"MethodName\":\"" + pMethod +
                        "\",\"InstanceID\":" + std::to_string(iInstance) +
                        ",\"WaitAck\":" + (bWaitAck ? "true" : "false") +
                        ",\"UseTcpThread\":" + (bTcpThread ? "true" : "false");
    for (size_t i = 0; i < kArgs.size(); ++i)
        kText += ",\"Arg" + std::to_string(i) + "\":" + kArgs[i];
    return kText + "}";
}

std::string Ref(int64_t iInstance)
{
    return "{\"InstanceID\":" + std::to_string(iInstance) + "}";
}

// What a reply must be: {} (Void), {"Error": text containing pText}, or
// {"Res": value} with the value's form. Instance and AtLeast store the value;
// Position and Rotation store the numbers.
struct SExpect
{
    enum EForm
    {
        Void,
        Error,
        Bool,
        Exactly,
        AtLeast,
        Instance,
        Position,
        Rotation
    } eForm;
    int64_t iValue = -1; // Bool: 0 or 1; Instance: the ID, or -1 for any
    const char* pText = nullptr;
    double dX = NAN, dY = NAN; // Position: the exact x and y, or NaN for any
};
SExpect Void()
{
    return {SExpect::Void};
}
SExpect Error(const char* pText)
{
    return {SExpect::Error, -1, pText};
}
SExpect Is(bool bValue)
{
    return {SExpect::Bool, bValue};
}
SExpect Exactly(int64_t iValue)
{
    return {SExpect::Exactly, iValue};
}
SExpect AtLeast(int64_t iValue)
{
    return {SExpect::AtLeast, iValue};
}
SExpect Instance(int64_t iValue = -1)
{
    return {SExpect::Instance, iValue};
}

bool Matches(const rapidjson::Document& kReply, const SExpect& kExpect, int64_t& iValue, double* pdNumbers)
{
    if (kExpect.eForm == SExpect::Void || kExpect.eForm == SExpect::Error)
        return kExpect.eForm == SExpect::Void
                   ? kReply.MemberCount() == 0
                   : kReply.MemberCount() == 1 && kReply.HasMember("Error") && kReply["Error"].IsString() &&
                         strstr(kReply["Error"].GetString(), kExpect.pText);
    if (kReply.MemberCount() != 1 || !kReply.HasMember("Res"))
        return false;
    const rapidjson::Value& kRes = kReply["Res"];
    switch (kExpect.eForm)
    {
    case SExpect::Bool:
        return kRes.IsBool() && kRes.GetBool() == (kExpect.iValue != 0);
    case SExpect::Exactly:
        return kRes.IsInt64() && kRes.GetInt64() == kExpect.iValue;
    case SExpect::AtLeast:
        return kRes.IsInt64() && (iValue = kRes.GetInt64()) >= kExpect.iValue;
    case SExpect::Instance:
        return kRes.IsObject() && kRes.MemberCount() == 1 && kRes.HasMember("InstanceID") &&
               kRes["InstanceID"].IsInt64() && (iValue = kRes["InstanceID"].GetInt64()) >= 0 &&
               (kExpect.iValue < 0 || iValue == kExpect.iValue);
    default:
        break;
    }
    const char* pNames = kExpect.eForm == SExpect::Position ? "xyz" : "xyzw";
    if (!kRes.IsObject() || kRes.MemberCount() != strlen(pNames))
        return false;
    for (size_t i = 0; pNames[i]; ++i)
    {
        const char acName[2] = {pNames[i], 0};
        if (!kRes.HasMember(acName) || !kRes[acName].IsNumber())
            return false;
        pdNumbers[i] = kRes[acName].GetDouble();
    }
    if (kExpect.eForm == SExpect::Rotation)
        return std::fabs(std::hypot(std::hypot(pdNumbers[0], pdNumbers[1]), std::hypot(pdNumbers[2], pdNumbers[3])) -
                         1.0) < 1e-3;
    return std::isnan(kExpect.dX) || (pdNumbers[0] == kExpect.dX && pdNumbers[1] == kExpect.dY && pdNumbers[2] == 0);
}

// A connection that sends requests and checks their replies.
class CClient
{
public:
    CClient(SRun& kRun, std::string kName) : m_kRun(kRun), m_kName(std::move(kName)) {}

    bool Fail(const std::string& kWhat)
    {
        std::string kText = m_kName + ": " + kWhat;
        for (const std::string& kSent : m_kHistory)
            kText += "\n      after " + kSent;
        return m_kRun.Fail(kText);
    }
    // An acknowledged request: one reply, which must match kExpect.
    bool Ack(const std::string& kRequest, const SExpect& kExpect, EKind eKind = KindAckValid,
             int64_t* piValue = nullptr)
    {
        m_kRun.Count(eKind);
        Note(kRequest);
        const CConnection::ERead eRead =
            m_kConnection.SendFrame(kRequest) ? m_kConnection.ReadFrame(m_kBody) : CConnection::ERead::Closed;
        if (eRead != CConnection::ERead::Frame)
            return Fail(eRead == CConnection::ERead::TimedOut ? "no reply within 30 s" : "connection ended " + m_kBody);
        m_kRun.Count(KindReplies);
        rapidjson::Document kReply;
        if (kReply.Parse(m_kBody.c_str()).HasParseError() || !kReply.IsObject())
            return Fail("a reply that is not a JSON object: " + m_kBody);
        if (kReply.HasMember("Error"))
            m_kRun.Count(KindErrorReplies);
        else
            m_kRun.uiMustHaveRun.fetch_add(1);
        int64_t iValue = -1;
        if (!Matches(kReply, kExpect, iValue, m_adNumbers))
            return Fail("unexpected reply " + m_kBody);
        if (piValue)
            *piValue = iValue;
        return true;
    }
    // A frame that gets no reply (a stray one shows in a later reply or at
    // the close handshake).
    bool Silent(const std::string& kFrame, EKind eKind)
    {
        m_kRun.Count(eKind);
        Note(kFrame);
        return m_kConnection.Send(kFrame) || Fail("sending failed");
    }

protected:
    // The last frames sent on the connection, for a failure's report.
    void Note(const std::string& kFrame)
    {
        std::string kShown = kFrame.substr(0, 160);
        for (char& c : kShown)
            c = static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7e ? '?' : c;
        m_kHistory.push_back(kShown);
        if (m_kHistory.size() > 6)
            m_kHistory.pop_front();
    }

    SRun& m_kRun;
    std::string m_kName;
    CConnection m_kConnection;
    std::string m_kBody;
    std::deque<std::string> m_kHistory;
    double m_adNumbers[4] = {};
};

// A client thread: sessions of random calls, and faulty connections.
class CWorker : public CClient
{
public:
    CWorker(SRun& kRun, CGate& kGate, uint32_t uiIndex, uint64_t uiSeed)
        : CClient(kRun, "client " + std::to_string(uiIndex)), m_kGate(kGate), m_uiIndex(uiIndex), m_kRandom(uiSeed)
    {
    }

    void Run()
    {
        // The host accepts some 100 connections a second with a listen backlog
        // of 10: a burst of new connections stalls for a second or more. The
        // clients start, and resume after a pause, spread out over a second.
        bool bWaited = true;
        while (m_kGate.Enter(m_kRun.bStop, &bWaited))
        {
            if (bWaited)
                std::this_thread::sleep_for(std::chrono::milliseconds(Pick(1000)));
            const bool bOk = Connect() && (Chance(0.1) ? FaultyFrame() : Session());
            m_kConnection.Close();
            m_kGate.Leave();
            if (!bOk)
                return;
        }
    }

private:
    uint32_t Pick(uint32_t uiCount) { return std::uniform_int_distribution<uint32_t>(0, uiCount - 1)(m_kRandom); }
    bool Chance(double dProbability) { return std::bernoulli_distribution(dProbability)(m_kRandom); }
    bool IsTrue(const std::string& kRequest) { return Ack(kRequest, Is(true)); }
    bool IsVoid(const std::string& kRequest) { return Ack(kRequest, Void()); }

    // A new connection, served once a first call is answered. One reset
    // before that answer never reached the host (the kernel resets some of
    // the connections that overflow the listen backlog): counted, tried again.
    bool Connect()
    {
        for (uint32_t uiAttempt = 0; uiAttempt < 100; ++uiAttempt)
        {
            m_kHistory.clear();
            std::string kBody;
            const bool bSent = m_kConnection.Open(m_kRun.uiPort) &&
                               m_kConnection.SendFrame(Request("Root", "KeepAlive", 0, true, {}, true));
            const CConnection::ERead eRead = bSent ? m_kConnection.ReadFrame(kBody) : CConnection::ERead::Closed;
            if (eRead == CConnection::ERead::Frame && kBody == "{\"Res\":true}")
            {
                m_kRun.Count(KindAckValid);
                m_kRun.Count(KindReplies);
                m_kRun.uiMustHaveRun.fetch_add(1);
                return true;
            }
            if (eRead != CConnection::ERead::Closed || !kBody.empty())
                return Fail("the first call on a connection got " + (kBody.empty() ? "no reply" : kBody));
            m_kRun.Count(KindResetUnserved);
            std::this_thread::sleep_for(std::chrono::milliseconds(10 + Pick(40)));
        }
        return Fail("100 connections in a row were reset before the host served them");
    }

    bool Session()
    {
        m_kRun.Count(KindSessions);
        m_iLastCount = 0;
        const bool bCharacter = Chance(0.5);
        if (bCharacter)
        {
            // Only this client holds the character's objects: the counts are exact.
            m_kRun.Count(KindCharacters);
            if (!Ack(Request("Root", "GetPrefabManager", 0, true), Instance(), KindAckValid, &m_iManager) ||
                !Ack(Request("PrefabManager", "LoadFile", m_iManager, true, {kPrefab}), Instance(), KindAckValid,
                     &m_iPrefab) ||
                !Ack(Request("GaitComponentBuilderRpc", "GetPrefabComponent", 0, true, {Ref(m_iPrefab)}), Instance(),
                     KindAckValid, &m_iGait))
                return false;
        }
        for (uint32_t uiOps = 20 + Pick(100); uiOps > 0 && !m_kRun.bStop.load() && !m_kGate.IsClosing(); --uiOps)
            if (!Operation())
                return false;
        if (bCharacter)
        {
            if (!Ack(Request("GaitComponentRpc", "ReleaseRef", m_iGait, true), Exactly(0)) ||
                !IsTrue(Request("PrefabManager", "RemovePrefab", m_iManager, true, {Ref(m_iPrefab)})) ||
                !Ack(Request("Prefab", "ReleaseRef", m_iPrefab, true), Exactly(0)) ||
                !Ack(Request("PrefabManager", "ReleaseRef", m_iManager, true), AtLeast(1))) // the root keeps one
                return false;
            m_iManager = m_iPrefab = m_iGait = -1;
        }
        // Once this is answered the host has read every frame sent before.
        if (!IsTrue(Request("Root", "KeepAlive", 0, true)))
            return false;
        const std::string kError = Chance(0.3) ? std::string() : m_kConnection.CloseHandshake();
        return kError.empty() || Fail(kError);
    }

    bool Operation()
    {
        const bool bCharacter = m_iGait >= 0;
        switch (Pick(bCharacter ? 14 : 9))
        {
        case 0:
            return IsTrue(Request("Root", "KeepAlive", 0, true, {}, Chance(0.5)));
        case 1:
            return IsTrue(Request("Root", "IsLoadingFinished", 0, true));
        case 2:
            // Each reading counts itself: they grow along one connection.
            return Ack(Request("Root", "GetExecutedCount", 0, true, {}, Chance(0.5)), AtLeast(m_iLastCount + 1),
                       KindAckValid, &m_iLastCount);
        case 3:
            return NoAckValid(bCharacter);
        case 4:
            return NoAckFailing();
        case 5:
            return Malformed();
        case 6:
            return WrongMember();
        case 7:
            return Failing(bCharacter);
        case 8:
            // A singleton handed out and given back.
            if (Chance(0.5))
            {
                int64_t iManager = -1;
                return Ack(Request("Root", "GetPrefabManager", 0, true), Instance(), KindAckValid, &iManager) &&
                       Ack(Request("PrefabManager", "ReleaseRef", iManager, true), AtLeast(1));
            }
            return Ack(Request("GaitComponentBuilderRpc", "GetRPCSingleton", 0, true), Instance(0)) &&
                   Ack(Request("GaitComponentBuilderRpc", "ReleaseRef", 0, true), AtLeast(0));
        case 9:
            return Echo();
        case 10:
            return Steer();
        case 11:
            return Reload();
        case 12:
            // Asking again gives the same object and one more reference.
            return Ack(Request("GaitComponentBuilderRpc", "GetPrefabComponent", 0, true, {Ref(m_iPrefab)}),
                       Instance(m_iGait)) &&
                   Ack(Request("GaitComponentRpc", "ReleaseRef", m_iGait, true), Exactly(1));
        default:
            return Ack(Request("Prefab", "GetOrientation", m_iPrefab, true), {SExpect::Rotation});
        }
    }

    // Valid requests without "WaitAck": each must run exactly once.
    bool NoAckValid(bool bCharacter)
    {
        const std::string akRequests[] = {Request("Root", "KeepAlive", 0, false, {}, Chance(0.5)),
                                          Request("Root", "IsLoadingFinished", 0, false),
                                          Request("Root", "GetExecutedCount", 0, false, {}, Chance(0.5)),
                                          Request("Prefab", "GetPosition", m_iPrefab, false),
                                          Request("GaitComponentRpc", "SetSpeed", m_iGait, false, {"0.5"}),
                                          Request("GaitComponentRpc", "IsActive", m_iGait, false)};
        m_kRun.uiMustHaveRun.fetch_add(1);
        return Silent(CConnection::Frame(akRequests[Pick(bCharacter ? 6 : 3)]), KindNoAckValid);
    }

    // Requests that must neither run nor be answered.
    bool NoAckFailing()
    {
        const std::string akRequests[] = {
            Request("Root", "NoSuchMethod", 0, false), Request("Prefab", "GetPosition", kDeadInstance, false),
            Request("GaitComponentBuilderRpc", "GetPrefabComponent", 0, false, {"\"zero\""}),
            "{\"ClassName\":\"Root\",\"MethodName\":\"KeepAlive\",\"InstanceID\":0,\"UseTcpThread\":true}",
            "{\"ClassName\":\"Root\",\"MethodName\":\"KeepAlive\",\"InstanceID\":0,\"WaitAck\":\"yes\","
            "\"UseTcpThread\":false}"};
        return Silent(CConnection::Frame(akRequests[Pick(5)]), KindNoAckFailing);
    }

    bool Malformed()
    {
        static const char* const s_apNotJson[] = {"hello", "{\"ClassName\":", "{'ClassName':'Root'}",
                                                  "{\"WaitAck\":true,}", "\x01\x02\xff\xfe"};
        static const char* const s_apNotObject[] = {
            "[1,2,3]",
            "42",
            "\"Root\"",
            "null",
            "true",
            "[{\"ClassName\":\"Root\",\"MethodName\":\"KeepAlive\",\"InstanceID\":0,\"WaitAck\":true,"
            "\"UseTcpThread\":false}]"};
        switch (Pick(4))
        {
        case 0:
            return Silent(CConnection::Frame(s_apNotJson[Pick(5)]), KindNotJson);
        case 1:
            return Silent(CConnection::Frame(s_apNotObject[Pick(6)]), KindNotObject);
        case 2:
            return Silent(CConnection::Frame(
                              Request("Root", "KeepAlive", 0, true, {std::string(300, '[') + std::string(300, ']')})),
                          KindTooDeep);
        default:
            return Silent(CConnection::Header(0), KindEmpty); // the connection stays open
        }
    }

    // One envelope member missing or of the wrong type: an error that names it.
    bool WrongMember()
    {
        static const char* const s_aapCases[][3] = {
            {"\"ClassName\":\"Root\"", "\"ClassName\":5", "member ClassName must be a string"},
            {"\"ClassName\":\"Root\",", "", "member ClassName must be a string"},
            {"\"MethodName\":\"KeepAlive\"", "\"MethodName\":null", "member MethodName must be a string"},
            {"\"InstanceID\":0", "\"InstanceID\":\"0\"", "member InstanceID must be a signed 32-bit integer"},
            {"\"InstanceID\":0", "\"InstanceID\":4294967296", "member InstanceID must be a signed 32-bit integer"},
            {"\"UseTcpThread\":false", "\"UseTcpThread\":1", "member UseTcpThread must be a bool"}};
        const auto& kCase = s_aapCases[Pick(6)];
        std::string kRequest = Request("Root", "KeepAlive", 0, true);
        kRequest.replace(kRequest.find(kCase[0]), strlen(kCase[0]), kCase[1]);
        return Ack(kRequest, Error(kCase[2]), KindWrongMember);
    }

    bool Failing(bool bCharacter)
    {
        const struct
        {
            std::string kRequest;
            const char* pError;
        } akCases[] = {
            {Request("Root", "NoSuchMethod", 0, true), "this command is not registred"},
            {Request("Prefab", "GetPosition", kDeadInstance, true), "Cannot retreive instance ptr"},
            {Request("GaitComponentBuilderRpc", "GetPrefabComponent", 0, true, {"5"}),
             "argument Arg0 must be null or an object"},
            {Request("GaitComponentBuilderRpc", "GetPrefabComponent", 0, true, {Ref(kDeadInstance)}),
             "Cannot retreive instance ptr"},
            {Request("GaitComponentRpc", "SetSpeed", m_iGait, true, {"\"fast\""}), "argument Arg0 must be a number"},
            {Request("Prefab", "SetPosition", m_iPrefab, true, {"{\"x\":1}"}),
             "argument Arg0 must be an object with the numbers"}};
        const auto& kCase = akCases[Pick(bCharacter ? 6 : 4)];
        return Ack(kCase.kRequest, Error(kCase.pError), KindAckFailing);
    }

    // A character on standby stays where it is put: a distinct position per
    // call comes back exactly.
    bool Echo()
    {
        SExpect kPosition = {SExpect::Position};
        kPosition.dX = static_cast<double>(++m_uiSequence % 997) + 0.25;
        kPosition.dY = static_cast<double>(m_uiIndex) + 0.5;
        char acPosition[96];
        snprintf(acPosition, sizeof(acPosition), "{\"x\":%.2f,\"y\":%.2f,\"z\":0}", kPosition.dX, kPosition.dY);
        return IsVoid(Request("GaitComponentRpc", "Activate", m_iGait, true, {"false"})) &&
               Ack(Request("GaitComponentRpc", "IsActive", m_iGait, true), Is(false)) &&
               IsVoid(Request("Prefab", "SetPosition", m_iPrefab, true, {acPosition})) &&
               Ack(Request("Prefab", "GetPosition", m_iPrefab, true), kPosition);
    }

    bool Steer()
    {
        const double dHalfYaw = (static_cast<double>(Pick(360)) - 180.0) * M_PI / 360.0;
        char acRotation[96];
        snprintf(acRotation, sizeof(acRotation), "{\"x\":0,\"y\":0,\"z\":%.6f,\"w\":%.6f}", std::sin(dHalfYaw),
                 std::cos(dHalfYaw));
        return IsVoid(Request("GaitComponentRpc", "Activate", m_iGait, true, {"true"})) &&
               IsTrue(Request("GaitComponentRpc", "IsActive", m_iGait, true)) &&
               IsVoid(Request("GaitComponentRpc", "SetRotation", m_iGait, true, {acRotation})) &&
               IsVoid(Request("GaitComponentRpc", "SetSpeed", m_iGait, true, {std::to_string(Pick(200) / 100.0)})) &&
               (Chance(0.8) || (IsVoid(Request("GaitComponentRpc", "Reset", m_iGait, true)) &&
                                IsTrue(Request("GaitComponentRpc", "IsActive", m_iGait, true))));
    }

    // The demo document, or one the component cannot use: {} either way.
    bool Reload()
    {
        static const char* const s_apInvalid[] = {"", "{", "[]", "{}", "{\"Binds\":\"x\"}", "not json"};
        const std::string& kValid = m_kRun.kGaitDocument;
        const std::string kDocument = Chance(0.4)   ? kValid
                                      : Chance(0.5) ? kValid.substr(0, Pick(static_cast<uint32_t>(kValid.size())))
                                                    : std::string(s_apInvalid[Pick(6)]);
        return IsVoid(Request("GaitComponentRpc", "ReloadFromJson", m_iGait, true, {JsonString(kDocument)}));
    }

    // After the first call: a frame over the limit, which closes the
    // connection, or a frame cut off by closing it.
    bool FaultyFrame()
    {
        if (Chance(0.4))
        {
            const uint32_t uiLength = kMaxFrameBytes + 1 + Pick(kCloseMarker - kMaxFrameBytes - 2);
            Silent(CConnection::Header(uiLength) + std::string(Pick(64), 'x'), KindOversized); // may be cut short
            char cByte = 0;
            const CConnection::ERead eRead = m_kConnection.Read(&cByte, 1);
            return eRead == CConnection::ERead::Closed ||
                   Fail(eRead == CConnection::ERead::Frame ? "bytes came back after a frame over the limit"
                                                           : "a frame over the limit left the connection open");
        }
        const std::string kRequest = Request("Root", "KeepAlive", 0, false); // would run, had it arrived whole
        const uint32_t uiAnnounced = 1 + Pick(1u << 20);
        const std::string akFrames[] = {CConnection::Header(static_cast<uint32_t>(kRequest.size())) +
                                            kRequest.substr(0, Pick(static_cast<uint32_t>(kRequest.size()))),
                                        CConnection::Header(uiAnnounced) +
                                            std::string(Pick(std::min(uiAnnounced, 4096u)), '{'),
                                        CConnection::Header(1 + Pick(1000)).substr(0, 1 + Pick(3))};
        Silent(akFrames[Pick(3)], KindCutOff);
        return true; // the caller closes the connection
    }

    CGate& m_kGate;
    uint32_t m_uiIndex;
    std::mt19937_64 m_kRandom;
    int64_t m_iLastCount = 0;
    int64_t m_iManager = -1;
    int64_t m_iPrefab = -1;
    int64_t m_iGait = -1;
    uint32_t m_uiSequence = 0;
};

// The control connection: the walking character, the readings and the probe.
class CControl : public CClient
{
public:
    explicit CControl(SRun& kRun) : CClient(kRun, "control") {}

    int64_t ReadCount(bool bTcpThread)
    {
        int64_t iCount = -1;
        Ack(Request("Root", "GetExecutedCount", 0, true, {}, bTcpThread), AtLeast(1), KindAckValid, &iCount);
        return iCount;
    }
    // Loads the character that walks through the whole run.
    bool StartWalker()
    {
        return (m_kConnection.Open(m_kRun.uiPort) || Fail("cannot connect")) &&
               Ack(Request("Root", "GetPrefabManager", 0, true), Instance(), KindAckValid, &m_iManager) &&
               Ack(Request("PrefabManager", "LoadFile", m_iManager, true, {kPrefab}), Instance(), KindAckValid,
                   &m_iPrefab) &&
               Ack(Request("GaitComponentBuilderRpc", "GetPrefabComponent", 0, true, {Ref(m_iPrefab)}), Instance(),
                   KindAckValid, &m_iGait) &&
               Ack(Request("GaitComponentRpc", "Activate", m_iGait, true, {"true"}), Void()) &&
               Ack(Request("GaitComponentRpc", "SetSpeed", m_iGait, true, {"1.0"}), Void()) && CheckWalking();
    }
    // The walker must have moved since the last reading.
    bool CheckWalking()
    {
        const double dX = m_adNumbers[0], dY = m_adNumbers[1];
        if (!Ack(Request("Prefab", "GetPosition", m_iPrefab, true), {SExpect::Position}))
            return false;
        const double dMoved = std::hypot(m_adNumbers[0] - dX, m_adNumbers[1] - dY);
        return m_uiReadings++ == 0 || dMoved > 1e-4 ||
               Fail("the walking character has not moved since the last reading, at " + std::to_string(dX) + ", " +
                    std::to_string(dY));
    }
    bool StopWalker()
    {
        return Ack(Request("GaitComponentRpc", "SetSpeed", m_iGait, true, {"0"}), Void()) &&
               Ack(Request("GaitComponentRpc", "ReleaseRef", m_iGait, true), Exactly(0)) &&
               Ack(Request("PrefabManager", "RemovePrefab", m_iManager, true, {Ref(m_iPrefab)}), Is(true)) &&
               Ack(Request("Prefab", "ReleaseRef", m_iPrefab, true), Exactly(0)) &&
               Ack(Request("PrefabManager", "ReleaseRef", m_iManager, true), AtLeast(1));
    }
    std::string CloseHandshake() { return m_kConnection.CloseHandshake(); }

    // With the clients paused and this connection open, the host must serve
    // exactly 63 more connections and refuse the next: accepted, then closed
    // without a reply.
    bool ProbeConnectionLimit(CGate& kGate)
    {
        const Clock::time_point kAsked = Clock::now();
        kGate.Close();
        const double dPaused = SecondsSince(kAsked);
        // The host counts a connection until its thread has seen the close.
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        std::vector<std::unique_ptr<CConnection>> kHeld;
        std::string kError, kBody;
        bool bRefused = false;
        while (!bRefused && kError.empty() && kHeld.size() <= kMaxConnections)
        {
            kHeld.push_back(std::make_unique<CConnection>());
            const bool bSent = kHeld.back()->Open(m_kRun.uiPort) &&
                               kHeld.back()->SendFrame(Request("Root", "KeepAlive", 0, true, {}, true));
            const CConnection::ERead eRead = bSent ? kHeld.back()->ReadFrame(kBody) : CConnection::ERead::Closed;
            bRefused = eRead == CConnection::ERead::Closed && kBody.empty();
            if (bRefused || eRead != CConnection::ERead::Frame || kBody != "{\"Res\":true}")
            {
                kHeld.pop_back();
                kError = bRefused ? "" : "a connection neither served nor refused: " + kBody;
                continue;
            }
            m_kRun.Count(KindProbeServed);
            m_kRun.Count(KindReplies);
            m_kRun.uiMustHaveRun.fetch_add(1);
        }
        if (bRefused)
            m_kRun.Count(KindProbeRefused);
        const size_t uiServed = kHeld.size();
        for (size_t i = 0; i < kHeld.size(); i += 2) // the others just close
            kError += kError.empty() ? kHeld[i]->CloseHandshake() : "";
        kHeld.clear();
        kGate.Open();
        printf("soak: limit probe: clients paused in %.2f s, %zu more connections served, %s (%.2f s)\n", dPaused,
               uiServed, bRefused ? "the next refused" : "none refused", SecondsSince(kAsked));
        if (kError.empty() && uiServed + 1 != kMaxConnections)
            kError = "the host served " + std::to_string(uiServed + 1) + " connections at once";
        return kError.empty() || Fail("connection limit: " + kError);
    }

private:
    int64_t m_iManager = -1;
    int64_t m_iPrefab = -1;
    int64_t m_iGait = -1;
    uint32_t m_uiReadings = 0;
};

struct SOptions
{
    std::string kHost;
    std::string kGait = TARN_DEMO_GAIT_DOCUMENT;
    std::string kHostLog;
    double dSeconds = 60.0;
    uint32_t uiClients = 32;
    uint64_t uiSeed = std::random_device{}();
};

// The run itself, between the first and the last reading of the count.
void Drive(SRun& kRun, const SOptions& kOptions, CHostProcess& kHost, CControl& kControl)
{
    const int64_t iFirstCount = kControl.ReadCount(true);
    kRun.uiMustHaveRun.store(0);
    CGate kGate;
    std::vector<std::thread> kClients;
    for (uint32_t i = 0; i < kOptions.uiClients && iFirstCount > 0; ++i)
        kClients.emplace_back([&kRun, &kGate, &kOptions, i] {
            std::make_unique<CWorker>(kRun, kGate, i, kOptions.uiSeed * 1000003u + i)->Run();
        });
    const Clock::time_point kStart = Clock::now();
    const double dWarmUp = std::min(10.0, kOptions.dSeconds / 2);
    double dNextSample = 0.0, dNextWalk = 2.0, dNextProbe = std::min(5.0, kOptions.dSeconds / 4);
    int64_t iLastCount = iFirstCount;
    long lWarmKb = -1;
    for (double dNow = 0.0; !kRun.bStop.load() && (dNow = SecondsSince(kStart)) < kOptions.dSeconds;)
    {
        if (kHost.HasExited())
            kRun.Fail("the host exited during the run");
        if (dNow >= dNextSample || (lWarmKb < 0 && dNow >= dWarmUp))
        {
            const long lKb = kHost.ResidentKb();
            const int64_t iCount = kControl.ReadCount(true);
            if (iCount > 0 && iCount <= iLastCount)
                kRun.Fail("the command count went from " + std::to_string(iLastCount) + " to " +
                          std::to_string(iCount));
            iLastCount = std::max(iLastCount, iCount);
            printf("soak: t=%5.1f s  resident %7ld kB  commands run %9lld  replies %9llu\n", dNow, lKb,
                   static_cast<long long>(iCount), static_cast<unsigned long long>(kRun.auiKinds[KindReplies].load()));
            fflush(stdout);
            lWarmKb = lWarmKb < 0 && dNow >= dWarmUp ? lKb : lWarmKb;
            dNextSample += dNow >= dNextSample ? 10.0 : 0.0;
        }
        // At least 2 s apart, whatever held the loop up: many steps between.
        if (dNow >= dNextWalk && kControl.CheckWalking())
            dNextWalk = SecondsSince(kStart) + 2.0;
        if (dNow >= dNextProbe && dNow + 3.0 < kOptions.dSeconds && kControl.ProbeConnectionLimit(kGate))
            dNextProbe = dNow + 10.0;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    const bool bFailed = kRun.bStop.exchange(true);
    kGate.Open();
    for (std::thread& kClient : kClients)
        kClient.join();
    if (bFailed || iFirstCount <= 0 || !kControl.StopWalker())
        return;
    // On the engine thread, after every request queued before it.
    const int64_t iEndCount = kControl.ReadCount(false);
    const uint64_t uiMustHaveRun = kRun.uiMustHaveRun.load();
    printf("soak: commands run from %lld to %lld: %lld; requests that had to run: %llu\n",
           static_cast<long long>(iFirstCount), static_cast<long long>(iEndCount),
           static_cast<long long>(iEndCount - iFirstCount), static_cast<unsigned long long>(uiMustHaveRun));
    if (iEndCount > 0 && static_cast<uint64_t>(iEndCount - iFirstCount) != uiMustHaveRun)
        kRun.Fail("the host ran " + std::to_string(iEndCount - iFirstCount) + " commands, not " +
                  std::to_string(uiMustHaveRun));
    const long lEndKb = kHost.ResidentKb();
    printf("soak: resident size at the end %ld kB, after the warm-up %ld kB (%+.1f %%)\n", lEndKb, lWarmKb,
           100.0 * static_cast<double>(lEndKb - lWarmKb) / static_cast<double>(std::max(lWarmKb, 1L)));
    if (kBoundResidentSize && (lWarmKb <= 0 || static_cast<double>(lEndKb) > 1.10 * static_cast<double>(lWarmKb)))
        kRun.Fail("the host's resident size went from " + std::to_string(lWarmKb) + " kB after the warm-up to " +
                  std::to_string(lEndKb) + " kB");
    const std::string kError = kControl.CloseHandshake();
    if (!kError.empty())
        kControl.Fail(kError);
}

int RunSoak(const SOptions& kOptions)
{
    SRun kRun;
    std::ifstream kFile(kOptions.kGait);
    std::stringstream kText;
    kText << kFile.rdbuf();
    kRun.kGaitDocument = kText.str();
    if (kRun.kGaitDocument.empty())
        return fprintf(stderr, "soak: cannot read the gait document %s\n", kOptions.kGait.c_str()), 1;
    printf("soak: seed %llu, %u clients, %.0f s\n", static_cast<unsigned long long>(kOptions.uiSeed),
           kOptions.uiClients, kOptions.dSeconds);
    fflush(stdout);
    CHostProcess kHost;
    if (!kHost.Start(kOptions.kHost, kOptions.kHostLog))
        return printf("soak: FAIL: no ready line from %s\n%s", kOptions.kHost.c_str(), kHost.Tail().c_str()), 1;
    kRun.uiPort = kHost.GetPort();
    CControl kControl(kRun);
    if (kControl.StartWalker())
        Drive(kRun, kOptions, kHost, kControl);

    const bool bCleanRun = kRun.kFailures.empty();
    const int iExit = kHost.Stop(60000);
    printf("soak: host exit code %d after SIGINT\n", iExit);
    if (iExit != 0)
        kRun.Fail(iExit < 0 ? "the host did not exit within 60 s of SIGINT (killed)"
                            : "the host exited with code " + std::to_string(iExit) + (iExit == 3 ? " (leak)" : ""));
    else if (kHost.Marked(CHostProcess::MarkNoLeak) == 0)
        kRun.Fail("no leak report \"Leak detected : 0\" from the host");
    // The host logs each frame it refuses. Its debug log drops lines while
    // more threads print than it has buffers: fewer lines may come, never more.
    const struct
    {
        CHostProcess::EMarker eMarker;
        uint64_t uiSent;
        const char* pWhat;
    } akLogged[] = {{CHostProcess::MarkEmpty, kRun.auiKinds[KindEmpty].load(), "empty frames"},
                    {CHostProcess::MarkTooLong, kRun.auiKinds[KindOversized].load(), "frames over the limit"},
                    {CHostProcess::MarkRefused, kRun.auiKinds[KindProbeRefused].load(), "connections past the limit"},
                    {CHostProcess::MarkNotObject, kRun.auiKinds[KindNotJson] + kRun.auiKinds[KindNotObject],
                     "frames not a JSON object"},
                    {CHostProcess::MarkTooDeep, kRun.auiKinds[KindTooDeep].load(), "frames nested too deep"}};
    for (const auto& kLogged : akLogged)
    {
        printf("soak: the host logged %llu of %llu %s\n",
               static_cast<unsigned long long>(kHost.Marked(kLogged.eMarker)),
               static_cast<unsigned long long>(kLogged.uiSent), kLogged.pWhat);
        if (bCleanRun && iExit == 0 && kHost.Marked(kLogged.eMarker) > kLogged.uiSent)
            kRun.Fail(std::string("the host logged more ") + kLogged.pWhat + " than the test sent");
    }
    printf("soak: requests and connections by kind:\n");
    for (uint32_t k = 0; k < KindCount; ++k)
        printf("  %-42s %10llu\n", kKindNames[k], static_cast<unsigned long long>(kRun.auiKinds[k].load()));
    if (kRun.kFailures.empty())
        return printf("soak: ok (seed %llu)\n", static_cast<unsigned long long>(kOptions.uiSeed)), 0;
    for (const std::string& kFailure : kRun.kFailures)
        printf("soak: FAIL: %s\n", kFailure.c_str());
    printf("soak: seed %llu; the host's last lines:\n%s", static_cast<unsigned long long>(kOptions.uiSeed),
           kHost.Tail().c_str());
    return 1;
}

} // namespace

int main(int iArgc, char** ppArgv)
{
    static const char* const s_pUsage =
        "usage: tarn-soak-test --host PATH [--seconds S] [--clients N] [--seed N] [--gait FILE] [--host-log FILE]\n"
        "Starts tarn-host --demo 50 --port 0 and drives it from N client threads (32) for S seconds (60, at\n"
        "least 5) with valid, failing, malformed, oversized and cut-off requests and connections past the\n"
        "limit; checks the replies, the host's count of commands run, a walking character, the resident size\n"
        "and a clean, leak-free shutdown. --seed repeats a run's random choices; --gait is the demo gait\n"
        "document (default: the source tree's); --host-log keeps the host's whole log.\n"
        "Exit code 0 when every check passed, 1 when one failed, 2 on a bad argument.\n";
    SOptions kOptions;
    for (int i = 1; i < iArgc; i += 2)
    {
        const std::string kArg = ppArgv[i];
        const char* pValue = i + 1 < iArgc ? ppArgv[i + 1] : "";
        if (kArg == "--help" || kArg == "-h")
            return printf("%s", s_pUsage), 0;
        else if (kArg == "--host")
            kOptions.kHost = pValue;
        else if (kArg == "--seconds")
            kOptions.dSeconds = std::atof(pValue);
        else if (kArg == "--clients")
            kOptions.uiClients = static_cast<uint32_t>(std::atoi(pValue));
        else if (kArg == "--seed")
            kOptions.uiSeed = std::strtoull(pValue, nullptr, 10);
        else if (kArg == "--gait")
            kOptions.kGait = pValue;
        else if (kArg == "--host-log")
            kOptions.kHostLog = pValue;
        else
            return fprintf(stderr, "soak: unknown argument %s\n%s", kArg.c_str(), s_pUsage), 2;
    }
    // Each client holds one connection at a time, beside the control one.
    if (kOptions.kHost.empty() || !(kOptions.dSeconds >= 5.0) || kOptions.uiClients < 1 ||
        kOptions.uiClients > kMaxConnections - 4)
        return fprintf(stderr, "soak: --host is required, --seconds at least 5, --clients 1 to 60\n%s", s_pUsage), 2;
    signal(SIGPIPE, SIG_IGN);
    return RunSoak(kOptions);
}
