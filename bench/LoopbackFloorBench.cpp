// What this machine allows one connection over loopback TCP, whatever the
// server does: the round trip of a request-sized message to an echo thread
// that does nothing else. With the echo thread asleep in recv, each round
// trip wakes two threads (the echo and the client); with it spinning on a
// non-blocking recv, only the client. The second figure is the most
// requests per second any server can answer one waiting client with here,
// which puts the remote-call figures (scripts/bench-compare) in proportion.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include <benchmark/benchmark.h>

namespace {

// The size of a usual remote request and of its reply.
constexpr size_t kMessageBytes = 128;

// A connected pair of loopback sockets (client, server side); -1s when the
// system refuses one.
struct SPair
{
    int iClient = -1;
    int iServer = -1;
};

SPair Connect()
{
    SPair kPair;
    const int iListen = socket(AF_INET, SOCK_STREAM, 0);
    if (iListen < 0)
        return kPair;
    sockaddr_in kAddress{};
    kAddress.sin_family = AF_INET;
    kAddress.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t uiLength = sizeof(kAddress);
    if (bind(iListen, reinterpret_cast<sockaddr*>(&kAddress), sizeof(kAddress)) == 0 && listen(iListen, 1) == 0 &&
        getsockname(iListen, reinterpret_cast<sockaddr*>(&kAddress), &uiLength) == 0)
    {
        kPair.iClient = socket(AF_INET, SOCK_STREAM, 0);
        if (kPair.iClient >= 0 && connect(kPair.iClient, reinterpret_cast<sockaddr*>(&kAddress), sizeof(kAddress)) == 0)
            kPair.iServer = accept(iListen, nullptr, nullptr);
    }
    close(iListen);
    const int iOne = 1;
    for (const int iSocket : {kPair.iClient, kPair.iServer})
        if (iSocket >= 0)
            setsockopt(iSocket, IPPROTO_TCP, TCP_NODELAY, &iOne, sizeof(iOne));
    return kPair;
}

// Receives exactly uiBytes; false when the peer closed.
bool ReceiveAll(int iSocket, char* pBuffer, size_t uiBytes, bool bSpin)
{
    size_t uiHave = 0;
    while (uiHave < uiBytes)
    {
        const ssize_t iGot = recv(iSocket, pBuffer + uiHave, uiBytes - uiHave, bSpin ? MSG_DONTWAIT : 0);
        if (iGot > 0)
            uiHave += static_cast<size_t>(iGot);
        else if (iGot == 0 || !bSpin)
            return false;
        else
            sched_yield();  // the client may be waiting for this core
    }
    return true;
}

// Arg: 1 when the echo thread spins, 0 when it sleeps in recv.
void BM_LoopbackRoundTrip(benchmark::State& kState)
{
    const bool bSpin = kState.range(0) != 0;
    SPair kPair = Connect();
    if (kPair.iClient < 0 || kPair.iServer < 0)
    {
        kState.SkipWithError("loopback TCP refused");
        return;
    }
    std::thread kEcho([&kPair, bSpin] {
        char acMessage[kMessageBytes];
        while (ReceiveAll(kPair.iServer, acMessage, sizeof(acMessage), bSpin))
            if (send(kPair.iServer, acMessage, sizeof(acMessage), MSG_NOSIGNAL) != sizeof(acMessage))
                break;
    });
    char acMessage[kMessageBytes] = {};
    for (auto _ : kState)
    {
        if (send(kPair.iClient, acMessage, sizeof(acMessage), MSG_NOSIGNAL) != sizeof(acMessage) ||
            !ReceiveAll(kPair.iClient, acMessage, sizeof(acMessage), false))
        {
            kState.SkipWithError("the echo thread stopped");
            break;
        }
    }
    shutdown(kPair.iClient, SHUT_RDWR);
    kEcho.join();
    close(kPair.iClient);
    close(kPair.iServer);
    kState.SetItemsProcessed(kState.iterations());
}
BENCHMARK(BM_LoopbackRoundTrip)->ArgName("echo_spins")->Arg(0)->Arg(1)->UseRealTime()->MinTime(1.0);

}  // namespace
