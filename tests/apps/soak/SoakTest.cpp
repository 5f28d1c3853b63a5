// Soak and fault test of tarn-host.
//
// Starts `tarn-host --demo 50 --port 0` and drives it over loopback (60 s and
// 32 client threads by default). Each client runs sessions on one connection
// mixing valid calls with and without "WaitAck", malformed frames (not JSON,
// NaN literals, trailing data, not an object, nested too deep, too many
// values, envelope members of the wrong type), empty frames and calls that
// must fail; half of the sessions load a character of their own and drive
// its Gait component, now and then with values out of range, and some remove
// the character while they still hold its Gait component. Other connections
// send a frame over the 16 MiB limit or cut a frame off by disconnecting.
// Hostile clients run beside them: floods of valid requests without
// "WaitAck" in batches larger than the host's per-connection allowance (a few
// of them out-of-range speeds), half frames that stall, clients that ask for
// replies and never read them, and connections idle for longer than the
// frame time. Every 25 s (from 5 s on) the clients pause and the connection
// limit is probed; the host's resident size is sampled every second. At the
// end several clients pipeline acknowledged calls while the host is stopped
// with SIGINT.
//
// The run fails, with the reason, when the host exits early; when a reply is
// missing or does not fit its request (exact IDs, reference counts, echoed
// values and error texts, a command count growing along one connection), or
// bytes follow the close marker; when an unparsable frame is answered
// although its text does not ask for a reply, or the other way round; when
// "Root"."GetExecutedCount" at the end differs from the requests that had to
// run (each acknowledged one not answered by an error, each valid one without
// "WaitAck"); when a half frame is not closed, without a reply and a log line
// naming it, after the 10 s frame time; when a client that never reads is not
// closed with its log line, or finds other than the error replies it asked
// for; when an idle connection is not served after 11 s; when a frame over
// the limit leaves its connection open, or other than 64 connections are
// served at once; when the test's walking character, sent a refused value
// before each reading, stops moving, leaves its area or loses its unit
// rotation; when the host's VmRSS or VmHWM reaches 1 GiB, or its resident
// size at the end is over 10 % above the largest over the first half of the
// run (not under sanitizers, whose allocators hold memory back); when, stopped
// under load, the host does not exit with 0 within 60 s (3: a leak), its
// "endpoint stopped after running N remote commands" differs from the count
// read before plus the replies received after, or it logs more refused frames
// than were sent. The peak resident size is only reported.
// The random choices come from one seed (--seed); thread timing still varies.
#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

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

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fstream>
#include <map>
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
// How long the host waits for the rest of a frame begun, and for a client to
// take its replies.
constexpr double kHostTimeoutSeconds = 10.0;
constexpr long kResidentLimitKb = 1L << 20;    // 1 GiB
constexpr int64_t kDeadInstance = 2147483000;  // never handed out in one run
constexpr const char* kPrefab = "\"demo/biped.prefab.json\"";
constexpr const char* kZeroRotation = "{\"x\":0,\"y\":0,\"z\":0,\"w\":0}";
// A sanitizer's allocator holds freed memory back: the growth over the run
// is then only reported; under ThreadSanitizer, whose shadow memory is
// several times the program's own, the size too.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kBoundResidentGrowth = false;
#else
constexpr bool kBoundResidentGrowth = true;
#endif
#if defined(__SANITIZE_THREAD__)
constexpr bool kBoundResident = false;
#else
constexpr bool kBoundResident = true;
#endif

// The hostile clients, and the clients of the shutdown under load.
constexpr uint32_t kFloodClients = 3;
constexpr uint32_t kHalfFrameClients = 3;
constexpr uint32_t kDeafClients = 2;
constexpr uint32_t kIdleClients = 1;
constexpr uint32_t kHostileClients = kFloodClients + kHalfFrameClients + kDeafClients + kIdleClients;
constexpr uint32_t kPipelineClients = 6;
// More than the host holds for one connection (1024): a flood always runs
// into its allowance and is held back by TCP.
constexpr uint32_t kFloodBatch = 1500;
// A half frame or an idle connection takes a host time-out and a little
// more, a client that never reads one more after the host's send buffer
// filled up: one starts only when this much time is left before the next
// pause.
constexpr double kSlowRoundSeconds = 13.0;
constexpr double kDeafRoundSeconds = 14.0;
constexpr double kProbeEverySeconds = 25.0;
// The rest of a flood between batches, so that the normal clients keep most
// of the two cores the suite runs on.
constexpr int kFloodRestMs = 300;

// The error texts of refused values and removed prefabs, whole.
constexpr const char* kSpeedRange = "Assertion \"Arg0\" failed. argument Arg0 must be a speed from 0 to 10";
constexpr const char* kFloatRange =
    "Assertion \"Arg0\" failed. argument Arg0 must be a number between -3.4e38 and 3.4e38";
constexpr const char* kNoRotation =
    "Assertion \"Arg0\" failed. argument Arg0 must be a rotation: the numbers \"x\", \"y\", \"z\" and \"w\" between "
    "-3.4e38 and 3.4e38, not all zero";
constexpr const char* kFarPosition =
    "Assertion \"Arg0\" failed. argument Arg0 must be a position within 100000 m of the origin on each axis";
constexpr const char* kHugeVector = "Assertion \"Arg0\" failed. argument Arg0 must be an object with the numbers "
                                    "\"x\", \"y\" and \"z\" between -3.4e38 and 3.4e38";
constexpr const char* kRemoved = "Assertion \"pInstance\" failed. The prefab has been removed";
constexpr const char* kTooDeepError =
    "Assertion \"uiDeep == uiLength\" failed. remote request nests deeper than 256 levels";
constexpr const char* kTooManyError =
    "Assertion \"uiValues <= kMaxRequestValues\" failed. remote request holds more than 4096 values";
// Followed by what the parser found, and where.
constexpr const char* kNotObjectError =
    "Assertion \"!kDocument.HasParseError() && kDocument.IsObject()\" failed. remote request is not a JSON object";

double SecondsSince(Clock::time_point kStart)
{
    return std::chrono::duration<double>(Clock::now() - kStart).count();
}

// What the test sent and received, by kind, and what went wrong.
#define SOAK_KINDS(X)                                                                                                  \
    X(AckValid, "acknowledged, valid")                                                                                 \
    X(AckFailing, "acknowledged, failing")                                                                             \
    X(WrongMember, "acknowledged, wrong envelope member")                                                              \
    X(NoAckValid, "no WaitAck, valid (must run)")                                                                      \
    X(NoAckFailing, "no WaitAck, failing (must not run)")                                                              \
    X(NotJson, "frame not JSON")                                                                                       \
    X(NotObject, "frame not an object")                                                                                \
    X(TooDeep, "frame nested too deep")                                                                                \
    X(TooMany, "frame with too many values")                                                                           \
    X(UnparsableAnswered, "  of these: asking for a reply, answered")                                                  \
    X(Empty, "empty frame")                                                                                            \
    X(Oversized, "frame over the limit")                                                                               \
    X(CutOff, "frame cut off")                                                                                         \
    X(OutOfRange, "value out of range, refused")                                                                       \
    X(RemovedPrefab, "call on a removed prefab, refused")                                                              \
    X(ProbeServed, "limit probe: served")                                                                              \
    X(ProbeRefused, "limit probe: refused")                                                                            \
    X(Replies, "replies")                                                                                              \
    X(ErrorReplies, "error replies")                                                                                   \
    X(Sessions, "sessions")                                                                                            \
    X(Characters, "characters loaded")                                                                                 \
    X(ResetUnserved, "connections reset before served (retried)")                                                      \
    X(FloodSessions, "flood: connections")                                                                             \
    X(FloodFrames, "flood: frames without WaitAck (must run)")                                                         \
    X(FloodRefused, "flood: speeds out of range (must not run)")                                                       \
    X(HalfFrameClosed, "half frame: closed by the host")                                                               \
    X(DeafClosed, "never reading: closed by the host")                                                                 \
    X(DeafFrames, "never reading: frames sent")                                                                        \
    X(DeafReplies, "never reading: replies found after")                                                               \
    X(IdleKept, "idle connection: served after 11 s")                                                                  \
    X(SlowAbandoned, "slow hostile given up at a pause or the end")                                                    \
    X(ShutdownReplies, "shutdown under load: replies")
#define SOAK_KIND_ENUM(kName, pText) Kind##kName,
#define SOAK_KIND_TEXT(kName, pText) pText,
enum EKind : uint32_t
{
    SOAK_KINDS(SOAK_KIND_ENUM) KindCount
};
const char* const kKindNames[KindCount] = {SOAK_KINDS(SOAK_KIND_TEXT)};

class CHostProcess;

struct SRun
{
    uint16_t uiPort = 0;
    CHostProcess* pHost = nullptr;
    std::string kGaitDocument;
    Clock::time_point kStart = Clock::now();
    std::atomic<bool> bStop{false};
    std::atomic<uint64_t> auiKinds[KindCount] = {};
    std::atomic<uint64_t> uiMustHaveRun{0};  // since the first reading of the count
    std::mutex kFailLock;
    std::vector<std::string> kFailures;

    void Count(EKind eKind, uint64_t uiHowMany = 1) { auiKinds[eKind].fetch_add(uiHowMany, std::memory_order_relaxed); }
    bool HasFailed()
    {
        std::lock_guard<std::mutex> kGuard(kFailLock);
        return !kFailures.empty();
    }
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
// ones to end while the connection limit is probed. Also tells when the next
// pause (or the end) comes, for the clients whose rounds take long.
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
    void SetNextPause(Clock::time_point kAt) { m_iNextPauseNs.store(kAt.time_since_epoch().count()); }
    double SecondsToNextPause() const
    {
        return std::chrono::duration<double>(Clock::time_point(Clock::duration(m_iNextPauseNs.load())) - Clock::now())
            .count();
    }

private:
    std::mutex m_kLock;
    std::condition_variable m_kChanged;
    uint32_t m_uiInside = 0;
    bool m_bOpen = true;
    std::atomic<bool> m_bClosing{false};
    std::atomic<int64_t> m_iNextPauseNs{0};
};

// The host process, its output on a pipe that a thread drains, counting the
// lines that report refused frames and noting the connections it closed.
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
        MarkTooMany,
        MarkNoLeak,
        MarkStalled,
        MarkDeaf,
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
            prctl(PR_SET_PDEATHSIG, SIGKILL);  // never outlive the test
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
        m_kReader.join();  // the pipe ends with the process
        return bKilled ? -1 : WIFEXITED(m_iStatus) ? WEXITSTATUS(m_iStatus) : 128 + WTERMSIG(m_iStatus);
    }
    // A field of /proc/<pid>/status in kB ("VmRSS", "VmHWM"), or -1.
    long StatusKb(const char* pField) const
    {
        std::ifstream kStatus("/proc/" + std::to_string(m_iPid) + "/status");
        const std::string kPrefix = std::string(pField) + ":";
        std::string kLine;
        while (std::getline(kStatus, kLine))
            if (kLine.rfind(kPrefix, 0) == 0)
                return std::atol(kLine.c_str() + kPrefix.size());
        return -1;
    }
    uint64_t Marked(EMarker eMarker)
    {
        std::lock_guard<std::mutex> kGuard(m_kLock);
        return m_auiMarked[eMarker];
    }
    // How often the host logged that it closed the connection from kPeer
    // ("127.0.0.1:port") for a stalled frame (MarkStalled) or for replies
    // not taken (MarkDeaf).
    uint32_t ClosedLines(EMarker eMarker, const std::string& kPeer)
    {
        std::lock_guard<std::mutex> kGuard(m_kLock);
        const auto kIt = m_akClosedPeers[eMarker == MarkDeaf].find(kPeer);
        return kIt == m_akClosedPeers[eMarker == MarkDeaf].end() ? 0 : kIt->second;
    }
    // N of "endpoint stopped after running N remote commands", or -1.
    int64_t StoppedAfter()
    {
        std::lock_guard<std::mutex> kGuard(m_kLock);
        return m_iStoppedAfter;
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
        static const char* const s_apMarkers[MarkCount] = {"empty message rejected",
                                                           "exceeds the limit of",
                                                           "connections already open",
                                                           "remote request is not a JSON object",
                                                           "nests deeper than",
                                                           "holds more than",
                                                           "Leak detected : 0 ",
                                                           "sent part of a message and nothing more for",
                                                           "did not take its replies within"};
        static const char* const s_pReady = "tarn-host ready: listening on 127.0.0.1:";
        static const char* const s_pStopped = "TarnEngine : endpoint stopped after running ";
        static const char* const s_pEndpoint = "[EngineHost] : ";
        char acBuffer[65536];
        std::string kPending;
        for (ssize_t iRead = 0; (iRead = read(iPipe, acBuffer, sizeof(acBuffer))) > 0 || (iRead < 0 && errno == EINTR);)
        {
            kPending.append(acBuffer, static_cast<size_t>(std::max<ssize_t>(iRead, 0)));
            for (size_t uiEnd = 0; (uiEnd = kPending.find('\n')) != std::string::npos; kPending.erase(0, uiEnd + 1))
            {
                std::lock_guard<std::mutex> kGuard(m_kLock);
                m_kTail.push_back(kPending.substr(0, uiEnd));
                const std::string& kLine = m_kTail.back();
                for (uint32_t m = 0; m < MarkCount; ++m)
                    m_auiMarked[m] += kLine.find(s_apMarkers[m]) != std::string::npos;
                for (uint32_t m = MarkStalled; m <= MarkDeaf; ++m)
                    if (kLine.rfind(s_pEndpoint, 0) == 0 && kLine.find(s_apMarkers[m]) != std::string::npos)
                    {
                        const size_t uiPeer = strlen(s_pEndpoint);
                        ++m_akClosedPeers[m == MarkDeaf][kLine.substr(uiPeer, kLine.find(' ', uiPeer) - uiPeer)];
                    }
                if (m_uiPort == 0 && kLine.rfind(s_pReady, 0) == 0)
                    m_uiPort = static_cast<uint16_t>(std::atoi(kLine.c_str() + strlen(s_pReady)));
                if (kLine.rfind(s_pStopped, 0) == 0)
                    m_iStoppedAfter = std::atoll(kLine.c_str() + strlen(s_pStopped));
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
    std::map<std::string, uint32_t> m_akClosedPeers[2];
    int64_t m_iStoppedAfter = -1;
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
    enum class ESend
    {
        Progress,
        Blocked,
        Failed
    };

    CConnection() = default;
    ~CConnection() { Close(); }
    CConnection(const CConnection&) = delete;
    CConnection& operator=(const CConnection&) = delete;

    // iReceiveBuffer: a receive buffer of that size instead of the kernel's
    // (set before connecting, so that the window offered stays small).
    bool Open(uint16_t uiPort, int iReceiveBuffer = 0)
    {
        Close();
        m_iSocket = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in kAddress = {};
        kAddress.sin_family = AF_INET;
        kAddress.sin_port = htons(uiPort);
        kAddress.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const int iOne = 1;
        setsockopt(m_iSocket, IPPROTO_TCP, TCP_NODELAY, &iOne, sizeof(iOne));
        if (iReceiveBuffer > 0)
            setsockopt(m_iSocket, SOL_SOCKET, SO_RCVBUF, &iReceiveBuffer, sizeof(iReceiveBuffer));
        return connect(m_iSocket, reinterpret_cast<sockaddr*>(&kAddress), sizeof(kAddress)) == 0;
    }
    void Close()
    {
        if (m_iSocket >= 0)
            close(m_iSocket);
        m_iSocket = -1;
    }
    // The connection as the host names it: "127.0.0.1:port".
    std::string LocalName() const
    {
        sockaddr_in kAddress = {};
        socklen_t uiSize = sizeof(kAddress);
        if (getsockname(m_iSocket, reinterpret_cast<sockaddr*>(&kAddress), &uiSize) != 0)
            return "?";
        char acAddress[INET_ADDRSTRLEN] = {};
        inet_ntop(AF_INET, &kAddress.sin_addr, acAddress, sizeof(acAddress));
        return std::string(acAddress) + ":" + std::to_string(ntohs(kAddress.sin_port));
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
    // Sends what the kernel takes of the bytes from uiFrom on, waiting at
    // most iWaitMs for room: *puiSent bytes went.
    ESend SendSome(const std::string& kBytes, size_t uiFrom, int iWaitMs, size_t* puiSent)
    {
        *puiSent = 0;
        pollfd kPoll = {m_iSocket, POLLOUT, 0};
        const int iReady = poll(&kPoll, 1, iWaitMs);
        if (iReady == 0 || (iReady < 0 && errno == EINTR))
            return ESend::Blocked;
        if (iReady < 0 || (kPoll.revents & (POLLERR | POLLHUP)))
            return ESend::Failed;
        const ssize_t iSent =
            send(m_iSocket, kBytes.data() + uiFrom, kBytes.size() - uiFrom, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (iSent < 0)
            return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? ESend::Blocked : ESend::Failed;
        *puiSent = static_cast<size_t>(iSent);
        return ESend::Progress;
    }
    static std::string Header(uint32_t uiLength)
    {
        const char acHeader[4] = {static_cast<char>(uiLength), static_cast<char>(uiLength >> 8),
                                  static_cast<char>(uiLength >> 16), static_cast<char>(uiLength >> 24)};
        return std::string(acHeader, 4);
    }
    static std::string Frame(const std::string& kBody) { return Header(static_cast<uint32_t>(kBody.size())) + kBody; }
    bool SendFrame(const std::string& kBody) { return Send(Frame(kBody)); }
    // Exactly uiLength bytes; Closed when the peer ends (or resets) first,
    // TimedOut when they do not come within iTimeoutMs. *puiRead: how many
    // did come.
    ERead Read(char* pBytes, size_t uiLength, int iTimeoutMs = kReplyTimeoutMs, size_t* puiRead = nullptr)
    {
        const Clock::time_point kStart = Clock::now();
        size_t uiRead = 0;
        ERead eRead = ERead::Frame;
        while (uiRead < uiLength && eRead == ERead::Frame)
        {
            pollfd kPoll = {m_iSocket, POLLIN, 0};
            const int iLeftMs = iTimeoutMs - static_cast<int>(SecondsSince(kStart) * 1000);
            const ssize_t iRead = iLeftMs <= 0 || poll(&kPoll, 1, iLeftMs) == 0
                                      ? -2
                                      : recv(m_iSocket, pBytes + uiRead, uiLength - uiRead, 0);
            if (iRead == -2 || iRead == 0 || (iRead < 0 && errno != EINTR))
                eRead = iRead == -2 ? ERead::TimedOut : ERead::Closed;
            uiRead += static_cast<size_t>(std::max<ssize_t>(iRead, 0));
        }
        if (puiRead)
            *puiRead = uiRead;
        return eRead;
    }
    // Closed with *pbPartial when the stream ended inside a frame.
    ERead ReadFrame(std::string& kBody, int iTimeoutMs = kReplyTimeoutMs, bool* pbPartial = nullptr)
    {
        unsigned char aucHeader[4];
        size_t uiRead = 0;
        kBody.clear();
        const ERead eRead = Read(reinterpret_cast<char*>(aucHeader), 4, iTimeoutMs, &uiRead);
        if (pbPartial)
            *pbPartial = eRead == ERead::Closed && uiRead > 0;
        const uint32_t uiLength = aucHeader[0] | aucHeader[1] << 8 | aucHeader[2] << 16 | uint32_t(aucHeader[3]) << 24;
        if (eRead != ERead::Frame || uiLength == kCloseMarker)
            return eRead != ERead::Frame ? eRead : ERead::CloseMarker;
        if (uiLength > kMaxFrameBytes)
            return kBody = "(a reply announcing " + std::to_string(uiLength) + " bytes)", ERead::Closed;
        kBody.resize(uiLength);
        const ERead eBody = Read(kBody.data(), uiLength, iTimeoutMs);
        if (pbPartial)
            *pbPartial = eBody == ERead::Closed;
        return eBody;
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
    rapidjson::StringBuffer kBuffer;
    rapidjson::Writer<rapidjson::StringBuffer> kWriter(kBuffer);
    kWriter.String(kText.data(), static_cast<rapidjson::SizeType>(kText.size()));
    return kBuffer.GetString();
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

// What a reply must be: {} (Void), {"Error": text containing pText} (Error)
// or exactly pText (ErrorText), or {"Res": value} with the value's form.
// AtLeast and Instance store the value; Position and Rotation store the
// numbers.
struct SExpect
{
    enum EForm
    {
        FVoid,
        FError,
        FErrorText,
        FBool,
        FExactly,
        FAtLeast,
        FInstance,
        FPosition,
        FRotation
    } eForm;
    int64_t iValue = -1;  // Bool: 0 or 1; Instance: the ID, or -1 for any
    const char* pText = nullptr;
    double dX = NAN, dY = NAN;  // Position: the exact x and y, or NaN for any
};
const auto Void = [] { return SExpect{SExpect::FVoid}; };
const auto Error = [](const char* pText) { return SExpect{SExpect::FError, -1, pText}; };
const auto ErrorText = [](const char* pText) { return SExpect{SExpect::FErrorText, -1, pText}; };
const auto Is = [](bool bValue) { return SExpect{SExpect::FBool, bValue}; };
const auto Exactly = [](int64_t iValue) { return SExpect{SExpect::FExactly, iValue}; };
const auto AtLeast = [](int64_t iValue) { return SExpect{SExpect::FAtLeast, iValue}; };
const auto Instance = [](int64_t iValue = -1) { return SExpect{SExpect::FInstance, iValue}; };

// False when kBody is not a JSON object.
bool Parse(rapidjson::Document& kReply, const std::string& kBody)
{
    return !kReply.Parse(kBody.c_str()).HasParseError() && kReply.IsObject();
}

bool Matches(const rapidjson::Document& kReply, const SExpect& kExpect, int64_t& iValue, double* pdNumbers)
{
    if (kExpect.eForm == SExpect::FVoid)
        return kReply.MemberCount() == 0;
    if (kExpect.eForm == SExpect::FError || kExpect.eForm == SExpect::FErrorText)
        return kReply.MemberCount() == 1 && kReply.HasMember("Error") && kReply["Error"].IsString() &&
               (kExpect.eForm == SExpect::FError ? strstr(kReply["Error"].GetString(), kExpect.pText) != nullptr
                                                 : strcmp(kReply["Error"].GetString(), kExpect.pText) == 0);
    if (kReply.MemberCount() != 1 || !kReply.HasMember("Res"))
        return false;
    const rapidjson::Value& kRes = kReply["Res"];
    switch (kExpect.eForm)
    {
        case SExpect::FBool:
            return kRes.IsBool() && kRes.GetBool() == (kExpect.iValue != 0);
        case SExpect::FExactly:
            return kRes.IsInt64() && kRes.GetInt64() == kExpect.iValue;
        case SExpect::FAtLeast:
            return kRes.IsInt64() && (iValue = kRes.GetInt64()) >= kExpect.iValue;
        case SExpect::FInstance:
            return kRes.IsObject() && kRes.MemberCount() == 1 && kRes.HasMember("InstanceID") &&
                   kRes["InstanceID"].IsInt64() && (iValue = kRes["InstanceID"].GetInt64()) >= 0 &&
                   (kExpect.iValue < 0 || iValue == kExpect.iValue);
        default:
            break;
    }
    const char* pNames = kExpect.eForm == SExpect::FPosition ? "xyz" : "xyzw";
    if (!kRes.IsObject() || kRes.MemberCount() != strlen(pNames))
        return false;
    for (size_t i = 0; pNames[i]; ++i)
    {
        const char acName[2] = {pNames[i], 0};
        if (!kRes.HasMember(acName) || !kRes[acName].IsNumber())
            return false;
        pdNumbers[i] = kRes[acName].GetDouble();
    }
    if (kExpect.eForm == SExpect::FRotation)
        return std::fabs(std::hypot(std::hypot(pdNumbers[0], pdNumbers[1]), std::hypot(pdNumbers[2], pdNumbers[3])) -
                         1.0) < 1e-3;
    return std::isnan(kExpect.dX) || (pdNumbers[0] == kExpect.dX && pdNumbers[1] == kExpect.dY && pdNumbers[2] == 0);
}
bool Matches(const std::string& kBody, const SExpect& kExpect, int64_t& iValue, double* pdNumbers)
{
    rapidjson::Document kReply;
    return Parse(kReply, kBody) && Matches(kReply, kExpect, iValue, pdNumbers);
}

// A request and the error it must get.
struct SRefused
{
    std::string kRequest;
    const char* pError;
};

// A connection that sends requests and checks their replies.
class CClient
{
public:
    CClient(SRun& kRun, std::string kName, uint64_t uiSeed = 1)
        : m_kRun(kRun), m_kName(std::move(kName)), m_kRandom(uiSeed)
    {
    }

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
        if (!Parse(kReply, m_kBody))
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

    // A new connection, served once a first call is answered. One reset
    // before that answer never reached the host (the kernel resets some of
    // the connections that overflow the listen backlog): counted, tried again.
    bool Connect(int iReceiveBuffer = 0)
    {
        for (uint32_t uiAttempt = 0; uiAttempt < 100; ++uiAttempt)
        {
            m_kHistory.clear();
            std::string kBody;
            const bool bSent = m_kConnection.Open(m_kRun.uiPort, iReceiveBuffer) &&
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

protected:
    uint32_t Pick(uint32_t uiCount) { return std::uniform_int_distribution<uint32_t>(0, uiCount - 1)(m_kRandom); }
    bool Chance(double dProbability) { return std::bernoulli_distribution(dProbability)(m_kRandom); }
    bool IsTrue(const std::string& kRequest) { return Ack(kRequest, Is(true)); }
    bool IsVoid(const std::string& kRequest) { return Ack(kRequest, Void()); }
    bool KeepAlive() { return IsTrue(Request("Root", "KeepAlive", 0, true)); }
    bool CloseCleanly()
    {
        const std::string kError = m_kConnection.CloseHandshake();
        return kError.empty() || Fail(kError);
    }

    // Loads a character of the client's own: only it holds the objects, so
    // the reference counts are exact.
    bool LoadCharacter()
    {
        m_kRun.Count(KindCharacters);
        return Ack(Request("Root", "GetPrefabManager", 0, true), Instance(), KindAckValid, &m_iManager) &&
               Ack(Request("PrefabManager", "LoadFile", m_iManager, true, {kPrefab}), Instance(), KindAckValid,
                   &m_iPrefab) &&
               Ack(Request("GaitComponentBuilderRpc", "GetPrefabComponent", 0, true, {Ref(m_iPrefab)}), Instance(),
                   KindAckValid, &m_iGait);
    }
    // bRemoved: the prefab was removed already, a second removal is refused.
    bool ReleaseCharacter(bool bRemoved = false)
    {
        if (!Ack(Request("GaitComponentRpc", "ReleaseRef", m_iGait, true), Exactly(0)) ||
            !Ack(Request("PrefabManager", "RemovePrefab", m_iManager, true, {Ref(m_iPrefab)}), Is(!bRemoved)) ||
            !Ack(Request("Prefab", "ReleaseRef", m_iPrefab, true), Exactly(0)) ||
            !Ack(Request("PrefabManager", "ReleaseRef", m_iManager, true), AtLeast(1)))  // the root keeps one
            return false;
        m_iManager = m_iPrefab = m_iGait = -1;
        return true;
    }
    // Values the character's methods must refuse with the exact text; the
    // first five are the walker's.
    std::vector<SRefused> OutOfRangeValues() const
    {
        return {{Request("GaitComponentRpc", "SetSpeed", m_iGait, true, {"-1"}), kSpeedRange},
                {Request("GaitComponentRpc", "SetSpeed", m_iGait, true, {"1e39"}), kFloatRange},
                {Request("GaitComponentRpc", "SetSpeed", m_iGait, true, {"11"}), kSpeedRange},
                {Request("GaitComponentRpc", "SetRotation", m_iGait, true, {kZeroRotation}), kNoRotation},
                {Request("Prefab", "SetPosition", m_iPrefab, true, {"{\"x\":100001,\"y\":0,\"z\":0}"}), kFarPosition},
                {Request("GaitComponentRpc", "SetSpeed", m_iGait, true, {"-1e39"}), kFloatRange},
                {Request("GaitComponentRpc", "SetRotation", m_iGait, true, {"{\"x\":0,\"y\":0,\"z\":1e39,\"w\":1}"}),
                 kNoRotation},
                {Request("Prefab", "SetOrientation", m_iPrefab, true, {kZeroRotation}), kNoRotation},
                {Request("Prefab", "SetPosition", m_iPrefab, true, {"{\"x\":0,\"y\":-2e5,\"z\":0}"}), kFarPosition},
                {Request("Prefab", "SetPosition", m_iPrefab, true, {"{\"x\":0,\"y\":0,\"z\":1e39}"}), kHugeVector}};
    }
    bool Refused(const SRefused& kCase) { return Ack(kCase.kRequest, ErrorText(kCase.pError), KindOutOfRange); }

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
    std::mt19937_64 m_kRandom;
    CConnection m_kConnection;
    std::string m_kBody;
    std::deque<std::string> m_kHistory;
    double m_adNumbers[4] = {};
    int64_t m_iManager = -1;
    int64_t m_iPrefab = -1;
    int64_t m_iGait = -1;
};

// A client thread: sessions of random calls, and faulty connections.
class CWorker : public CClient
{
public:
    CWorker(SRun& kRun, CGate& kGate, uint32_t uiIndex, uint64_t uiSeed)
        : CClient(kRun, "client " + std::to_string(uiIndex), uiSeed), m_kGate(kGate), m_uiIndex(uiIndex)
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
                break;
        }
    }

private:
    bool Session()
    {
        m_kRun.Count(KindSessions);
        m_iLastCount = 0;
        const bool bCharacter = Chance(0.5);
        if (bCharacter && !LoadCharacter())
            return false;
        for (uint32_t uiOps = 20 + Pick(100); uiOps > 0 && !m_kRun.bStop.load() && !m_kGate.IsClosing(); --uiOps)
            if (!Operation(bCharacter))
                return false;
        if (bCharacter && !(Chance(0.3) ? RemovedWhileHeld() : ReleaseCharacter()))
            return false;
        // Once this is answered the host has read every frame sent before.
        return KeepAlive() && (Chance(0.3) || CloseCleanly());
    }

    bool Operation(bool bCharacter)
    {
        switch (Pick(bCharacter ? 15 : 9))
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
                return Failing(bCharacter, false);
            case 5:
                return Malformed();
            case 6:
                return WrongMember();
            case 7:
                return Failing(bCharacter, true);
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
            case 13:
            {
                // Refused, and nothing changes: the caller steers on normally.
                const std::vector<SRefused> kValues = OutOfRangeValues();
                return Refused(kValues[Pick(static_cast<uint32_t>(kValues.size()))]) && Steer();
            }
            default:
                return Ack(Request("Prefab", "GetOrientation", m_iPrefab, true), {SExpect::FRotation});
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

    // Requests that must fail: acknowledged, an error naming the problem;
    // without "WaitAck" (or with one that is not a bool), neither run nor
    // answered.
    bool Failing(bool bCharacter, bool bAck)
    {
        const SRefused akCases[] = {
            {Request("Root", "NoSuchMethod", 0, bAck), "this command is not registred"},
            {Request("Prefab", "GetPosition", kDeadInstance, bAck), "Cannot retreive instance ptr"},
            {Request("GaitComponentBuilderRpc", "GetPrefabComponent", 0, bAck, {Chance(0.5) ? "5" : "\"zero\""}),
             "argument Arg0 must be null or an object"},
            {Request("GaitComponentBuilderRpc", "GetPrefabComponent", 0, bAck, {Ref(kDeadInstance)}),
             "Cannot retreive instance ptr"},
            {Request("GaitComponentRpc", "SetSpeed", m_iGait, bAck, {"\"fast\""}), "argument Arg0 must be a number"},
            {Request("Prefab", "SetPosition", m_iPrefab, bAck, {"{\"x\":1}"}),
             "argument Arg0 must be an object with the numbers"},
            {Request("GaitComponentRpc", "SetSpeed", m_iGait, bAck, {"11"}), kSpeedRange},
            {Request("GaitComponentRpc", "SetRotation", m_iGait, bAck, {kZeroRotation}), kNoRotation}};
        static const char* const s_apEnvelope[] = {
            "{\"ClassName\":\"Root\",\"MethodName\":\"KeepAlive\",\"InstanceID\":0,\"UseTcpThread\":true}",
            "{\"ClassName\":\"Root\",\"MethodName\":\"KeepAlive\",\"InstanceID\":0,\"WaitAck\":\"yes\","
            "\"UseTcpThread\":false}"};
        const uint32_t uiCases = bCharacter ? 8 : 4;
        const uint32_t uiPick = Pick(uiCases + (bAck ? 0 : 2));
        if (bAck)
            return Ack(akCases[uiPick].kRequest, Error(akCases[uiPick].pError), KindAckFailing);
        return Silent(CConnection::Frame(uiPick < uiCases ? akCases[uiPick].kRequest : s_apEnvelope[uiPick - uiCases]),
                      KindNoAckFailing);
    }

    // Text that cannot be parsed, or is no object, or that the host refuses
    // to parse: answered with an error exactly when the text itself asks for
    // a reply ("WaitAck" : true, found by a look at the raw text), never run.
    bool Malformed()
    {
        const bool bAsk = Chance(0.5);
        const std::string kKeepAlive = Request("Root", "KeepAlive", 0, bAsk);
        const std::string kOpen = kKeepAlive.substr(0, kKeepAlive.size() - 1);
        switch (Pick(5))
        {
            case 0:
            {
                const std::string akTexts[] = {"hello", "{\"ClassName\":", "{'ClassName':'Root'}", "\x01\x02\xff\xfe",
                                               "{\"WaitAck\":true,}", "{\"WaitAck\" :\ttrue,,}", "{\"WaitAck\":false,}",
                                               "{\"NoWaitAck\":true,}",  // not the member's name
                                               "\"WaitAck\":true",       // not JSON at all, but asks
                                               // Literals that JSON does not have, trailing data.
                                               kOpen + ",\"Arg0\":NaN}", kOpen + ",\"Arg0\":-Infinity}",
                                               kKeepAlive + " {}", kKeepAlive + "x"};
                return Unparsable(akTexts[Pick(13)], kNotObjectError, false, KindNotJson);
            }
            case 1:
            {
                const std::string kInArray = "[" + Request("Root", "KeepAlive", 0, true) + "]";
                const std::string akNotObject[] = {
                    "[1,2,3]", "42", "\"Root\"", "null", "true", kInArray, "[\"WaitAck\" : true]"};
                return Unparsable(akNotObject[Pick(7)], kNotObjectError, false, KindNotObject);
            }
            case 2:
                return Unparsable(
                    Request("Root", "KeepAlive", 0, bAsk, {std::string(300, '[') + std::string(300, ']')}),
                    kTooDeepError, true, KindTooDeep);
            case 3:
            {
                // Valid JSON, but more values than the host parses.
                std::string kValues = "[0";
                for (uint32_t i = 0; i < 4200; ++i)
                    kValues += ",0";
                return Unparsable(Request("Root", "KeepAlive", 0, bAsk, {kValues + "]"}), kTooManyError, true,
                                  KindTooMany);
            }
            default:
                return Silent(CConnection::Header(0), KindEmpty);  // the connection stays open
        }
    }
    // The rule the host applies to the raw text: the name "WaitAck" in
    // quotes, blanks, a colon, blanks, then true.
    static bool AsksForReply(const std::string& kText)
    {
        for (size_t uiAt = kText.find("\"WaitAck\""); uiAt != std::string::npos;
             uiAt = kText.find("\"WaitAck\"", uiAt + 1))
        {
            size_t uiIdx = kText.find_first_not_of(" \t\r\n", uiAt + 9);
            if (uiIdx == std::string::npos || kText[uiIdx] != ':')
                continue;
            uiIdx = kText.find_first_not_of(" \t\r\n", uiIdx + 1);
            if (uiIdx != std::string::npos && kText.compare(uiIdx, 4, "true") == 0)
                return true;
        }
        return false;
    }
    bool Unparsable(const std::string& kText, const char* pError, bool bWhole, EKind eKind)
    {
        if (!AsksForReply(kText))
            return Silent(CConnection::Frame(kText), eKind);
        m_kRun.Count(KindUnparsableAnswered);
        return Ack(kText, bWhole ? ErrorText(pError) : Error(pError), eKind);
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

    // The character is removed while this client still holds its Prefab and
    // its Gait component: their calls are refused from then on, and the
    // references still go back normally.
    bool RemovedWhileHeld()
    {
        if (!IsTrue(Request("PrefabManager", "RemovePrefab", m_iManager, true, {Ref(m_iPrefab)})))
            return false;
        const std::string akCalls[] = {
            Request("GaitComponentRpc", "SetSpeed", m_iGait, true, {"1.0"}),
            Request("GaitComponentRpc", "SetRotation", m_iGait, true, {"{\"x\":0,\"y\":0,\"z\":0.38,\"w\":0.92}"}),
            Request("GaitComponentRpc", "Activate", m_iGait, true, {"true"}),
            Request("GaitComponentRpc", "IsActive", m_iGait, true),
            Request("GaitComponentRpc", "Reset", m_iGait, true),
            Request("GaitComponentRpc", "ReloadFromJson", m_iGait, true, {"\"{}\""}),
            Request("Prefab", "GetPosition", m_iPrefab, true),
            Request("Prefab", "GetOrientation", m_iPrefab, true),
            Request("Prefab", "SetPosition", m_iPrefab, true, {"{\"x\":1,\"y\":2,\"z\":0}"}),
            Request("GaitComponentBuilderRpc", "GetPrefabComponent", 0, true, {Ref(m_iPrefab)})};
        for (uint32_t uiCalls = 2 + Pick(4); uiCalls > 0; --uiCalls)
            if (!Ack(akCalls[Pick(10)], ErrorText(kRemoved), KindRemovedPrefab))
                return false;
        return ReleaseCharacter(true);
    }

    // A character on standby stays where it is put: a distinct position per
    // call comes back exactly.
    bool Echo()
    {
        SExpect kPosition = {SExpect::FPosition};
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
            Silent(CConnection::Header(uiLength) + std::string(Pick(64), 'x'), KindOversized);  // may be cut short
            char cByte = 0;
            const CConnection::ERead eRead = m_kConnection.Read(&cByte, 1);
            return eRead == CConnection::ERead::Closed ||
                   Fail(eRead == CConnection::ERead::Frame ? "bytes came back after a frame over the limit"
                                                           : "a frame over the limit left the connection open");
        }
        const std::string kRequest = Request("Root", "KeepAlive", 0, false);  // would run, had it arrived whole
        const uint32_t uiAnnounced = 1 + Pick(1u << 20);
        const std::string akFrames[] = {CConnection::Header(static_cast<uint32_t>(kRequest.size())) +
                                            kRequest.substr(0, Pick(static_cast<uint32_t>(kRequest.size()))),
                                        CConnection::Header(uiAnnounced) +
                                            std::string(Pick(std::min(uiAnnounced, 4096u)), '{'),
                                        CConnection::Header(1 + Pick(1000)).substr(0, 1 + Pick(3))};
        Silent(akFrames[Pick(3)], KindCutOff);
        return true;  // the caller closes the connection
    }

    CGate& m_kGate;
    uint32_t m_uiIndex;
    int64_t m_iLastCount = 0;
    uint32_t m_uiSequence = 0;
};

// A hostile client thread: one pattern, over and over, through the same gate
// as the normal clients.
class CHostile : public CClient
{
public:
    enum EMode
    {
        Flood,
        HalfFrame,
        Deaf,
        Idle
    };

    CHostile(SRun& kRun, CGate& kGate, EMode eMode, uint32_t uiIndex, uint64_t uiSeed)
        : CClient(kRun, std::string(s_apNames[eMode]) + " " + std::to_string(uiIndex), uiSeed), m_kGate(kGate),
          m_eMode(eMode), m_uiIndex(uiIndex)
    {
    }

    void Run()
    {
        bool bWaited = true;
        while (m_kGate.Enter(m_kRun.bStop, &bWaited))
        {
            // A slow round that a pause or the end would cut short waits.
            if (m_eMode != Flood &&
                m_kGate.SecondsToNextPause() < (m_eMode == Deaf ? kDeafRoundSeconds : kSlowRoundSeconds))
            {
                m_kGate.Leave();
                std::this_thread::sleep_for(std::chrono::milliseconds(250));
                continue;
            }
            if (bWaited && m_eMode == Flood)
                std::this_thread::sleep_for(std::chrono::milliseconds(Pick(1000)));
            // A small window for a client that never reads: the replies fill
            // it and the host's side quickly.
            bool bOk = Connect(m_eMode == Deaf ? 4096 : 0);
            bOk = bOk && (m_eMode == Flood       ? FloodSession()
                          : m_eMode == HalfFrame ? HalfFrameRound()
                          : m_eMode == Deaf      ? DeafRound()
                                                 : IdleRound());
            m_kConnection.Close();
            m_kGate.Leave();
            if (!bOk)
                return;
        }
    }

private:
    static constexpr const char* s_apNames[] = {"flood", "half frame", "never reading", "idle"};

    bool ShouldStop() const { return m_kRun.bStop.load() || m_kGate.IsClosing(); }
    // Waits up to dSeconds, or less when the run pauses or ends: true when
    // the whole time passed.
    bool Wait(double dSeconds)
    {
        const Clock::time_point kStart = Clock::now();
        while (SecondsSince(kStart) < dSeconds)
        {
            if (ShouldStop())
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return true;
    }
    bool Abandon()
    {
        m_kRun.Count(KindSlowAbandoned);
        return true;
    }

    // Batches of valid requests without "WaitAck", each larger than the
    // host holds for one connection, so the host stops reading and TCP holds
    // the rest back; an acknowledged call after each batch returns when the
    // host has run the whole batch. Every frame of a batch must run; the
    // out-of-range speeds among them must not.
    bool FloodSession()
    {
        m_kRun.Count(KindFloodSessions);
        const bool bPadded = m_uiIndex == 0;  // a member the host ignores makes each frame some 3 times longer
        if (!LoadCharacter())
            return false;
        const std::string kPad = ",\"Padding\":\"" + std::string(200, 'p') + "\"}";
        for (uint32_t uiBatches = 5 + Pick(20); uiBatches > 0 && !ShouldStop(); --uiBatches)
        {
            std::string kBatch;
            uint64_t uiMustRun = 0, uiRefused = 0;
            for (uint32_t i = 0; i < kFloodBatch; ++i)
            {
                // One in 16 a speed out of range: refused, it must not run.
                const uint32_t uiPick = Pick(16);
                std::string kRequest =
                    uiPick == 0  ? Request("GaitComponentRpc", "SetSpeed", m_iGait, false, {"11"})
                    : uiPick < 4 ? Request("Root", "KeepAlive", 0, false, {}, Chance(0.5))
                    : uiPick < 8 ? Request("GaitComponentRpc", "SetSpeed", m_iGait, false, {std::to_string(Pick(3))})
                                 : Request("Root", "IsLoadingFinished", 0, false);
                if (bPadded)
                    kRequest.replace(kRequest.size() - 1, 1, kPad);
                (uiPick == 0 ? uiRefused : uiMustRun) += 1;
                kBatch += CConnection::Frame(kRequest);
            }
            Note("(a batch of " + std::to_string(kFloodBatch) + " frames without WaitAck)");
            if (!m_kConnection.Send(kBatch))
                return Fail("the connection ended while a flood was sent");
            m_kRun.uiMustHaveRun.fetch_add(uiMustRun);
            m_kRun.Count(KindFloodFrames, uiMustRun);
            m_kRun.Count(KindFloodRefused, uiRefused);
            if (!KeepAlive())
                return false;
            Wait(kFloodRestMs / 1000.0);
        }
        return ReleaseCharacter() && KeepAlive() && CloseCleanly();
    }

    // Part of a frame, then nothing: the host must close the connection once
    // the frame time has passed, without a reply, and log it naming the
    // connection. The frame never runs (it would have).
    bool HalfFrameRound()
    {
        const std::string kPeer = m_kConnection.LocalName();
        const uint32_t uiLogged = m_kRun.pHost->ClosedLines(CHostProcess::MarkStalled, kPeer);
        const bool bAsk = Chance(0.5);
        const std::string kRequest = Request("Root", "KeepAlive", 0, bAsk);
        const std::string kFrame = CConnection::Frame(kRequest);
        std::string kPart;
        switch (Pick(4))
        {
            case 0:  // part of the length
                kPart = kFrame.substr(0, 1 + Pick(3));
                break;
            case 1:  // the length, no body
                kPart = kFrame.substr(0, 4);
                break;
            case 2:  // the length and part of the body
                kPart = kFrame.substr(0, 5 + Pick(static_cast<uint32_t>(kRequest.size()) - 1));
                break;
            default:  // a whole frame, then part of the next
                if (bAsk && !IsTrue(kRequest))
                    return false;
                if (!bAsk)
                {
                    m_kRun.uiMustHaveRun.fetch_add(1);
                    m_kRun.Count(KindNoAckValid);
                }
                kPart = (bAsk ? std::string() : kFrame) +
                        kFrame.substr(0, 1 + Pick(static_cast<uint32_t>(kFrame.size()) - 1));
                break;
        }
        Note(kPart);
        if (!m_kConnection.Send(kPart))
            return Fail("sending part of a frame failed");
        const Clock::time_point kStalled = Clock::now();
        for (char cByte = 0;;)
        {
            const CConnection::ERead eRead = m_kConnection.Read(&cByte, 1, 100);
            if (eRead == CConnection::ERead::Closed)
                break;
            if (eRead == CConnection::ERead::Frame)
                return Fail("bytes came back after part of a frame");
            if (ShouldStop())
                return Abandon();
            if (SecondsSince(kStalled) > 4 * kHostTimeoutSeconds)
                return Fail("the host left a connection holding part of a frame open for " +
                            std::to_string(SecondsSince(kStalled)) + " s");
        }
        const double dClosedAfter = SecondsSince(kStalled);
        // The host's clock starts when it sees the first byte, after it was sent.
        if (dClosedAfter < kHostTimeoutSeconds - 0.5)
            return Fail("the host closed a connection holding part of a frame after " + std::to_string(dClosedAfter) +
                        " s, before the frame time");
        for (const Clock::time_point kStart = Clock::now();
             m_kRun.pHost->ClosedLines(CHostProcess::MarkStalled, kPeer) <= uiLogged;)
        {
            if (SecondsSince(kStart) > kHostTimeoutSeconds)
                return Fail("the host closed " + kPeer + " (part of a frame) without logging it");
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        m_kRun.Count(KindHalfFrameClosed);
        return true;
    }

    // Requests that ask for a reply, sent without ever reading one, until the
    // connection takes no more. They cannot be parsed, so they are answered
    // with an error and never run. The host must give up on the replies after
    // its time-out, log it naming the connection, and close: what is left to
    // read then is error replies, then the end.
    //
    // The host's time-out runs per reply: when it has passed, the host tries
    // the send once more, and the kernel, which wakes a writer only once much
    // of the send buffer is free, takes that reply and some more into what was
    // left of it. The connection is then closed when the second time-out
    // passes, some 20 s after the client stopped taking anything; the wait
    // here allows four.
    bool DeafRound()
    {
        const std::string kPeer = m_kConnection.LocalName();
        const uint32_t uiLogged = m_kRun.pHost->ClosedLines(CHostProcess::MarkDeaf, kPeer);
        const std::string kFrame = CConnection::Frame("{\"WaitAck\":true,}");
        std::string kChunk;
        for (uint32_t i = 0; i < 256; ++i)
            kChunk += kFrame;
        Note(kFrame + " (over and over, never reading)");
        // Whole frames only: a frame left half sent would be a stalled frame
        // instead. Far more frames than the host can answer into its send
        // buffer (some 20000) must have gone before a quiet connection is
        // taken for one the host no longer reads, and not merely a busy host.
        constexpr uint64_t kEnoughFrames = 60000;
        uint64_t uiBytes = 0;
        Clock::time_point kProgress = Clock::now();
        for (;;)
        {
            size_t uiSent = 0;
            const CConnection::ESend eSend =
                m_kConnection.SendSome(kChunk, static_cast<size_t>(uiBytes % kChunk.size()), 100, &uiSent);
            if (eSend == CConnection::ESend::Failed)
                break;  // closed by the host already
            uiBytes += uiSent;
            if (uiSent > 0)
                kProgress = Clock::now();
            else if (uiBytes % kFrame.size() == 0 && uiBytes / kFrame.size() >= kEnoughFrames &&
                     SecondsSince(kProgress) > 1.0)
                break;  // the host reads no more
            if (ShouldStop())
                return m_kRun.Count(KindDeafFrames, uiBytes / kFrame.size()), Abandon();
            if (SecondsSince(kProgress) > 2 * kHostTimeoutSeconds)
                return Fail("the connection took no request for 20 s, and the host did not close it");
            if (uiBytes > (64u << 20))
                return Fail("the host took 64 MiB of requests without its replies being read");
        }
        const uint64_t uiFrames = uiBytes / kFrame.size();
        m_kRun.Count(KindDeafFrames, uiFrames);
        while (m_kRun.pHost->ClosedLines(CHostProcess::MarkDeaf, kPeer) <= uiLogged)
        {
            if (ShouldStop())
                return Abandon();
            if (SecondsSince(kProgress) > 2 * kHostTimeoutSeconds)
                return Fail("no \"did not take its replies\" line for " + kPeer + " within 20 s after " +
                            std::to_string(uiFrames) + " requests were sent without reading");
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        uint64_t uiReplies = 0;
        for (CConnection::ERead eRead; (eRead = m_kConnection.ReadFrame(m_kBody, 10000)) != CConnection::ERead::Closed;
             ++uiReplies)
        {
            int64_t iValue = -1;
            if (eRead != CConnection::ERead::Frame)
                return Fail(eRead == CConnection::ERead::TimedOut
                                ? "the host logged that it closed " + kPeer + ", which stayed open"
                                : "the close marker came back to a client that never sent it");
            if (!Matches(m_kBody, Error(kNotObjectError), iValue, m_adNumbers))
                return Fail("a client that never read found " + m_kBody);
        }
        m_kRun.Count(KindDeafReplies, uiReplies);
        if (uiReplies > uiFrames)
            return Fail(std::to_string(uiReplies) + " replies to " + std::to_string(uiFrames) + " requests");
        m_kRun.Count(KindDeafClosed);
        return true;
    }

    // Nothing for longer than the frame time between two requests: the
    // connection must still be served.
    bool IdleRound()
    {
        if (!Wait(kHostTimeoutSeconds + 1.0))
            return Abandon();
        if (!KeepAlive())
            return false;
        m_kRun.Count(KindIdleKept);
        return CloseCleanly();
    }

    CGate& m_kGate;
    EMode m_eMode;
    uint32_t m_uiIndex;
};

// One of the clients that call while the host is told to stop: acknowledged
// calls pipelined, a few always on their way, until the host closes the
// connection. What the host read must be run and answered, in order; what it
// did not read must get nothing.
class CPipeliner : public CClient
{
public:
    CPipeliner(SRun& kRun, uint32_t uiIndex)
        : CClient(kRun, "pipelining client " + std::to_string(uiIndex), 7 + uiIndex)
    {
    }

    void Run(int64_t iCountBefore)
    {
        constexpr uint32_t kInFlight = 16;
        std::deque<bool> kCounts;  // per request on its way: whether it reads the count
        bool bSending = true;
        const auto SendNext = [&] {
            const bool bCount = Chance(0.25);
            const std::string kRequest =
                bCount ? Request("Root", "GetExecutedCount", 0, true)
                       : Request("Root", Chance(0.5) ? "KeepAlive" : "IsLoadingFinished", 0, true);
            bSending = bSending && m_kConnection.SendFrame(kRequest);
            if (bSending)
                kCounts.push_back(bCount), m_uiSent.fetch_add(1);
        };
        for (uint32_t i = 0; i < kInFlight; ++i)
            SendNext();
        for (;;)
        {
            bool bPartial = false;
            const CConnection::ERead eRead = m_kConnection.ReadFrame(m_kBody, kReplyTimeoutMs, &bPartial);
            if (eRead != CConnection::ERead::Frame)
            {
                if (eRead != CConnection::ERead::Closed || bPartial)
                    Fail(bPartial                                ? "the connection ended in the middle of a reply"
                         : eRead == CConnection::ERead::TimedOut ? "neither a reply nor the end within 30 s"
                                                                 : "a close marker from the host");
                break;
            }
            int64_t iValue = -1;
            const bool bCount = !kCounts.empty() && kCounts.front();
            if (kCounts.empty() ||
                !Matches(m_kBody, bCount ? AtLeast(std::max(iCountBefore, m_iLastCount) + 1) : Is(true), iValue,
                         m_adNumbers))
            {
                Fail("unexpected reply " + m_kBody);
                break;
            }
            kCounts.pop_front();
            m_iLastCount = bCount ? iValue : m_iLastCount;
            m_uiReplies.fetch_add(1);
            SendNext();
        }
    }
    uint64_t GetReplies() const { return m_uiReplies.load(); }
    uint64_t GetSent() const { return m_uiSent.load(); }
    int64_t GetLastCount() const { return m_iLastCount; }

private:
    std::atomic<uint64_t> m_uiReplies{0};
    std::atomic<uint64_t> m_uiSent{0};
    int64_t m_iLastCount = 0;
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
        return (m_kConnection.Open(m_kRun.uiPort) || Fail("cannot connect")) && LoadCharacter() &&
               IsVoid(Request("GaitComponentRpc", "Activate", m_iGait, true, {"true"})) &&
               IsVoid(Request("GaitComponentRpc", "SetSpeed", m_iGait, true, {"1.0"})) && CheckWalking();
    }
    // Before each reading the walker is sent a value it must refuse; it must
    // have moved since the last reading, stay where walking at 1 m/s for a
    // while can take it, and keep a rotation of unit length.
    bool CheckWalking()
    {
        if (m_uiReadings > 0 && !Refused(OutOfRangeValues()[m_uiReadings % 5]))
            return false;
        if (!Ack(Request("Prefab", "GetOrientation", m_iPrefab, true), {SExpect::FRotation}) ||
            !Ack(Request("Prefab", "GetPosition", m_iPrefab, true), {SExpect::FPosition}))
            return false;
        const double dX = m_adNumbers[0], dY = m_adNumbers[1];
        const double dMoved = std::hypot(dX - m_dLastX, dY - m_dLastY);
        m_dLastX = dX, m_dLastY = dY;
        const std::string kWhere = std::to_string(dX) + ", " + std::to_string(dY);
        if (std::hypot(dX, dY) > 1000.0)
            return Fail("the walking character is at " + kWhere);
        return m_uiReadings++ == 0 || dMoved > 1e-4 ||
               Fail("the walking character has not moved since the last reading, at " + kWhere);
    }
    bool StopWalker()
    {
        return IsVoid(Request("GaitComponentRpc", "SetSpeed", m_iGait, true, {"0"})) && ReleaseCharacter();
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
        m_kRun.Count(KindProbeRefused, bRefused ? 1 : 0);
        const size_t uiServed = kHeld.size();
        for (size_t i = 0; i < kHeld.size(); i += 2)  // the others just close
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
    uint32_t m_uiReadings = 0;
    double m_dLastX = 0.0, m_dLastY = 0.0;
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

// The host's resident size, sampled through the run.
struct SResident
{
    long lFirstHalfKb = -1;  // the largest VmRSS sampled over the first half of the run
    long lPeakRssKb = -1;
    long lPeakHwmKb = -1;

    // The VmRSS sampled; the run fails once either figure reaches the bound.
    long Sample(SRun& kRun, CHostProcess& kHost)
    {
        const long lRssKb = kHost.StatusKb("VmRSS"), lHwmKb = kHost.StatusKb("VmHWM");
        lPeakRssKb = std::max(lPeakRssKb, lRssKb);
        lPeakHwmKb = std::max(lPeakHwmKb, lHwmKb);
        if (kBoundResident && (lRssKb >= kResidentLimitKb || lHwmKb >= kResidentLimitKb))
            kRun.Fail("the host's resident size reached " + std::to_string(lRssKb) + " kB (peak " +
                      std::to_string(lHwmKb) + " kB), the bound is " + std::to_string(kResidentLimitKb) + " kB");
        return lRssKb;
    }
};

// The run itself, between the first and the last reading of the count. True
// when it passed and the control connection is still open for the shutdown
// under load.
bool Drive(SRun& kRun, const SOptions& kOptions, CHostProcess& kHost, CControl& kControl, SResident& kResident)
{
    const int64_t iFirstCount = kControl.ReadCount(true);
    kRun.uiMustHaveRun.store(0);
    CGate kGate;
    const Clock::time_point kStart = Clock::now();
    const auto At = [&](double dSeconds) {
        return kStart + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(dSeconds));
    };
    double dNextSample = 0.0, dNextReport = 0.0, dNextWalk = 2.0, dNextProbe = std::min(5.0, kOptions.dSeconds / 4);
    kGate.SetNextPause(At(dNextProbe));
    std::vector<std::thread> kClients;
    for (uint32_t i = 0; i < kOptions.uiClients && iFirstCount > 0; ++i)
        kClients.emplace_back([&kRun, &kGate, &kOptions, i] {
            std::make_unique<CWorker>(kRun, kGate, i, kOptions.uiSeed * 1000003u + i)->Run();
        });
    // The hostile clients start with the normal ones; the slow ones wait
    // until a whole round fits before the next pause.
    const uint32_t auiHostile[] = {kFloodClients, kHalfFrameClients, kDeafClients, kIdleClients};
    for (uint32_t uiMode = 0; uiMode < 4; ++uiMode)
        for (uint32_t i = 0; i < auiHostile[uiMode] && iFirstCount > 0; ++i)
            kClients.emplace_back([&kRun, &kGate, &kOptions, uiMode, i] {
                const uint64_t uiSeed = kOptions.uiSeed * 1000003u + 1000u * (1u + uiMode) + i;
                std::make_unique<CHostile>(kRun, kGate, CHostile::EMode(uiMode), i, uiSeed)->Run();
            });
    int64_t iLastCount = iFirstCount;
    for (double dNow = 0.0; !kRun.bStop.load() && (dNow = SecondsSince(kStart)) < kOptions.dSeconds;)
    {
        if (kHost.HasExited())
            kRun.Fail("the host exited during the run");
        if (dNow >= dNextSample)
        {
            const long lKb = kResident.Sample(kRun, kHost);
            if (kResident.lFirstHalfKb < 0 && dNow >= kOptions.dSeconds / 2)
                kResident.lFirstHalfKb = kResident.lPeakRssKb;
            dNextSample = dNow + 1.0;
            if (dNow >= dNextReport)
            {
                const int64_t iCount = kControl.ReadCount(true);
                if (iCount > 0 && iCount <= iLastCount)
                    kRun.Fail("the command count went from " + std::to_string(iLastCount) + " to " +
                              std::to_string(iCount));
                iLastCount = std::max(iLastCount, iCount);
                printf("soak: t=%5.1f s  resident %7ld kB (peak %7ld kB)  commands run %9lld  replies %9llu\n", dNow,
                       lKb, kResident.lPeakHwmKb, static_cast<long long>(iCount),
                       static_cast<unsigned long long>(kRun.auiKinds[KindReplies].load()));
                fflush(stdout);
                dNextReport += 10.0;
            }
        }
        // At least 2 s apart, whatever held the loop up: many steps between.
        if (dNow >= dNextWalk && kControl.CheckWalking())
            dNextWalk = SecondsSince(kStart) + 2.0;
        if (dNow >= dNextProbe && dNow + 3.0 < kOptions.dSeconds && kControl.ProbeConnectionLimit(kGate))
        {
            dNextProbe = SecondsSince(kStart) + kProbeEverySeconds;
            kGate.SetNextPause(At(dNextProbe + 3.0 < kOptions.dSeconds ? dNextProbe : kOptions.dSeconds));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    const bool bFailed = kRun.bStop.exchange(true);
    kGate.Open();
    for (std::thread& kClient : kClients)
        kClient.join();
    if (bFailed || iFirstCount <= 0 || !kControl.StopWalker())
        return false;
    // On the engine thread, after every request queued before it.
    const int64_t iEndCount = kControl.ReadCount(false);
    const uint64_t uiMustHaveRun = kRun.uiMustHaveRun.load();
    printf("soak: commands run from %lld to %lld: %lld; requests that had to run: %llu\n",
           static_cast<long long>(iFirstCount), static_cast<long long>(iEndCount),
           static_cast<long long>(iEndCount - iFirstCount), static_cast<unsigned long long>(uiMustHaveRun));
    if (iEndCount > 0 && static_cast<uint64_t>(iEndCount - iFirstCount) != uiMustHaveRun)
        return kRun.Fail("the host ran " + std::to_string(iEndCount - iFirstCount) + " commands, not " +
                         std::to_string(uiMustHaveRun));
    // Growth: under the hostile load the resident size swings by a third from
    // one second to the next (characters loaded and removed, a flood's queue
    // filling up and running empty, threads of connections coming and going),
    // and what the allocator keeps follows the highest swing so far: one early
    // sample is no reference. The largest size over the first half of the run
    // is, by when every hostile pattern and a pause with 64 connections have
    // come; the second half carries as much traffic again, so whatever grows
    // with the traffic shows at the end.
    const long lEndKb = kResident.Sample(kRun, kHost);
    const long lFirstHalfKb = kResident.lFirstHalfKb;
    const double dGrowth = static_cast<double>(lEndKb - lFirstHalfKb) / static_cast<double>(std::max(lFirstHalfKb, 1L));
    printf("soak: resident size at the end %ld kB, largest over the first half %ld kB (%+.1f %%)\n", lEndKb,
           lFirstHalfKb, 100.0 * dGrowth);
    if (kBoundResidentGrowth &&
        (lFirstHalfKb <= 0 || static_cast<double>(lEndKb) > 1.10 * static_cast<double>(lFirstHalfKb)))
        return kRun.Fail("the host's resident size went from at most " + std::to_string(lFirstHalfKb) +
                         " kB over the first half of the run to " + std::to_string(lEndKb) + " kB at the end");
    return !kRun.HasFailed();
}

// The last phase: clients pipeline acknowledged calls while the host is
// stopped with SIGINT. The count read just before, plus every reply received
// after, must be what the host says it ran in all. The host's exit code.
int ShutdownUnderLoad(SRun& kRun, CHostProcess& kHost, CControl& kControl, SResident& kResident)
{
    std::vector<std::unique_ptr<CPipeliner>> kPipeliners;
    for (uint32_t i = 0; i < kPipelineClients; ++i)
    {
        kPipeliners.push_back(std::make_unique<CPipeliner>(kRun, i));
        if (!kPipeliners.back()->Connect())
            return kHost.Stop(60000);
    }
    // The last command before the pipelining; nothing else runs after it.
    const int64_t iBefore = kControl.ReadCount(false);
    const std::string kError = kControl.CloseHandshake();
    if (iBefore <= 0 || !kError.empty())
        return kControl.Fail(kError.empty() ? "no count before the shutdown" : kError), kHost.Stop(60000);
    std::vector<std::thread> kThreads;
    for (const auto& pPipeliner : kPipeliners)
        kThreads.emplace_back([&pPipeliner, iBefore] { pPipeliner->Run(iBefore); });
    // Under way on every connection, then the signal.
    const Clock::time_point kStart = Clock::now();
    const auto AllCalling = [&] {
        return std::all_of(kPipeliners.begin(), kPipeliners.end(),
                           [](const auto& p) { return p->GetReplies() >= 200; });
    };
    while (!AllCalling() && SecondsSince(kStart) < 30.0 && !kRun.HasFailed())
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    kResident.Sample(kRun, kHost);
    const int iExit = kHost.Stop(60000);
    for (std::thread& kThread : kThreads)
        kThread.join();
    uint64_t uiReplies = 0, uiSent = 0;
    int64_t iLastReading = 0;
    for (const auto& pPipeliner : kPipeliners)
    {
        uiReplies += pPipeliner->GetReplies();
        uiSent += pPipeliner->GetSent();
        iLastReading = std::max(iLastReading, pPipeliner->GetLastCount());
    }
    kRun.Count(KindShutdownReplies, uiReplies);
    const int64_t iStopped = kHost.StoppedAfter();
    printf("soak: shutdown under load: count %lld before, %llu requests sent, %llu replies, last reading %lld; the "
           "host ran %lld in all\n",
           static_cast<long long>(iBefore), static_cast<unsigned long long>(uiSent),
           static_cast<unsigned long long>(uiReplies), static_cast<long long>(iLastReading),
           static_cast<long long>(iStopped));
    if (iStopped < 0)
        kRun.Fail("no \"endpoint stopped after running N remote commands\" line from the host");
    else if (static_cast<uint64_t>(iStopped - iBefore) != uiReplies || iLastReading > iStopped)
        kRun.Fail("stopped under load, the host says it ran " + std::to_string(iStopped) + " commands; " +
                  std::to_string(iBefore) + " had run before the pipelining and " + std::to_string(uiReplies) +
                  " replies came during it (last count read " + std::to_string(iLastReading) + ")");
    return iExit;
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
    printf("soak: seed %llu, %u clients and %u hostile ones, %.0f s\n",
           static_cast<unsigned long long>(kOptions.uiSeed), kOptions.uiClients, kHostileClients, kOptions.dSeconds);
    fflush(stdout);
    CHostProcess kHost;
    if (!kHost.Start(kOptions.kHost, kOptions.kHostLog))
        return printf("soak: FAIL: no ready line from %s\n%s", kOptions.kHost.c_str(), kHost.Tail().c_str()), 1;
    kRun.uiPort = kHost.GetPort();
    kRun.pHost = &kHost;
    CControl kControl(kRun);
    SResident kResident;
    const bool bPassed = kControl.StartWalker() && Drive(kRun, kOptions, kHost, kControl, kResident);

    const bool bCleanRun = kRun.kFailures.empty();
    const int iExit = bPassed ? ShutdownUnderLoad(kRun, kHost, kControl, kResident) : kHost.Stop(60000);
    printf("soak: host exit code %d after SIGINT\n", iExit);
    if (iExit != 0)
        kRun.Fail(iExit < 0 ? "the host did not exit within 60 s of SIGINT (killed)"
                            : "the host exited with code " + std::to_string(iExit) + (iExit == 3 ? " (leak)" : ""));
    else if (kHost.Marked(CHostProcess::MarkNoLeak) == 0)
        kRun.Fail("no leak report \"Leak detected : 0\" from the host");
    // The host logs each frame it refuses; a connection's repeats come as one
    // line with their count: fewer lines may come, never more.
    const auto Kinds = [&](std::initializer_list<EKind> kKinds) {
        uint64_t uiSum = 0;
        for (EKind eKind : kKinds)
            uiSum += kRun.auiKinds[eKind].load();
        return uiSum;
    };
    const struct
    {
        CHostProcess::EMarker eMarker;
        uint64_t uiSent;
        const char* pWhat;
    } akLogged[] = {
        {CHostProcess::MarkEmpty, Kinds({KindEmpty}), "empty frames"},
        {CHostProcess::MarkTooLong, Kinds({KindOversized}), "frames over the limit"},
        {CHostProcess::MarkRefused, Kinds({KindProbeRefused}), "connections past the limit"},
        {CHostProcess::MarkNotObject, Kinds({KindNotJson, KindNotObject, KindDeafFrames}), "frames not a JSON object"},
        {CHostProcess::MarkTooDeep, Kinds({KindTooDeep}), "frames nested too deep"},
        {CHostProcess::MarkTooMany, Kinds({KindTooMany}), "frames with too many values"},
        // Beside those the test saw closed, a slow client given up at a pause
        // may have been closed by the host at the same moment.
        {CHostProcess::MarkStalled, Kinds({KindHalfFrameClosed, KindSlowAbandoned}),
         "connections closed holding part of a frame"},
        {CHostProcess::MarkDeaf, Kinds({KindDeafClosed, KindSlowAbandoned}),
         "connections closed for replies not taken"}};
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
        printf("  %-44s %10llu\n", kKindNames[k], static_cast<unsigned long long>(kRun.auiKinds[k].load()));
    printf("soak: the host's resident size: peak (VmHWM) %ld kB, largest sampled %ld kB\n", kResident.lPeakHwmKb,
           kResident.lPeakRssKb);
    if (kRun.kFailures.empty())
        return printf("soak: ok (seed %llu)\n", static_cast<unsigned long long>(kOptions.uiSeed)), 0;
    for (const std::string& kFailure : kRun.kFailures)
        printf("soak: FAIL: %s\n", kFailure.c_str());
    printf("soak: seed %llu; the host's last lines:\n%s", static_cast<unsigned long long>(kOptions.uiSeed),
           kHost.Tail().c_str());
    return 1;
}

}  // namespace

int main(int iArgc, char** ppArgv)
{
    static const char* const s_pUsage =
        "usage: tarn-soak-test --host PATH [--seconds S] [--clients N] [--seed N] [--gait FILE] [--host-log FILE]\n"
        "Starts tarn-host --demo 50 --port 0 and drives it from N client threads (32) for S seconds (60, at\n"
        "least 5) with valid, failing, malformed, out-of-range, oversized and cut-off requests and connections\n"
        "past the limit, beside hostile clients (floods without WaitAck, half frames, clients that never read,\n"
        "idle connections); checks the replies, the host's count of commands run, a walking character, the\n"
        "resident size, and a clean, leak-free shutdown under load with every command accounted for. --seed\n"
        "repeats a run's random choices; --gait is the demo gait document (default: the source tree's);\n"
        "--host-log keeps the host's whole log.\n"
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
    // Each client holds one connection at a time, beside the control one and
    // the hostile ones, with room for connections the host has yet to reap.
    constexpr uint32_t kMaxClients = kMaxConnections - 1 - kHostileClients - 4;
    if (kOptions.kHost.empty() || !(kOptions.dSeconds >= 5.0) || kOptions.uiClients < 1 ||
        kOptions.uiClients > kMaxClients)
        return fprintf(stderr, "soak: --host is required, --seconds at least 5, --clients 1 to %u\n%s", kMaxClients,
                       s_pUsage),
               2;
    signal(SIGPIPE, SIG_IGN);
    return RunSoak(kOptions);
}
