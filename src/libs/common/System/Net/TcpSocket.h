#pragma once

#include <atomic>
#include <cstddef>

#include "Core/Types.h"

namespace Common {

// A TCP socket of the POSIX platform layer: a listening socket (Listen,
// Accept), an accepted connection, or a client connection (Connect).
//
// Owns its descriptor and closes it when destroyed. Failures are printed
// through the debug log and returned; nothing is thrown and no signal is
// raised (writes to a closed peer fail instead of sending SIGPIPE). Another
// thread ends a blocking Accept or Receive with Shutdown.
class TcpSocket
{
public:
    static constexpr uint16 kDefaultPort = 27921;

    TcpSocket() = default;
    explicit TcpSocket(int iDescriptor) : m_iSocket(iDescriptor), m_bConnected(iDescriptor >= 0) {}
    ~TcpSocket() { Close(); }
    TcpSocket(const TcpSocket&) = delete;
    TcpSocket& operator=(const TcpSocket&) = delete;

    // Listens on a dotted IPv4 address (null: 127.0.0.1) and port; port 0
    // binds an ephemeral port, which GetPort then gives.
    bool Listen(uint16 uiPort, const char* pAddress = nullptr);
    // Waits for a connection; the new connection's descriptor, or -1 when the
    // socket was closed or failed. pPeer receives "address:port".
    int Accept(char* pPeer = nullptr, size_t uiPeerCapacity = 0);
    // Connects to a dotted IPv4 address (null: 127.0.0.1) and port.
    bool Connect(const char* pAddress, uint16 uiPort);

    // Sends the whole buffer. False (printed) when the connection failed.
    bool Send(const void* pData, size_t uiLength);
    // Receives exactly uiLength bytes. False when the peer closed the
    // connection ("Connection closed") or it failed; then *pReceived (when
    // given) says how many bytes did arrive.
    bool Receive(void* pData, size_t uiLength, size_t* pReceived = nullptr);
    // Whether data (or the peer's close) is waiting, within uiTimeoutMs.
    bool HasData(uint32 uiTimeoutMs) const;

    // Ends the connection (or a listening socket's accept) without closing
    // the descriptor: a thread blocked in Accept or Receive on it returns.
    // This is what other threads call; the owning thread then closes.
    void Shutdown();
    // Shuts the connection down and closes the descriptor; the owning thread
    // calls it (a descriptor closed under another thread's call could be
    // reused at once for something else). Safe to call more than once.
    void Close();
    bool IsOpen() const { return m_iSocket.load(std::memory_order_acquire) >= 0; }
    bool IsConnected() const { return m_bConnected.load(std::memory_order_acquire); }
    uint16 GetPort() const { return m_uiPort; }

private:
    std::atomic<int> m_iSocket{-1};
    std::atomic<bool> m_bConnected{false};
    uint16 m_uiPort = 0;
};

// Messages on a connection: a 4-byte little-endian length, then that many
// bytes of text. The length 0xFFFFFFFF, without text, closes the connection.
namespace MessageFraming {

inline constexpr uint32 kCloseMarker = 0xFFFFFFFFu;

enum class EReceive
{
    Message,      // a message of *pLength bytes is in the buffer (terminated)
    CloseMarker,  // the peer closes the connection
    TooLong,      // the announced length exceeds the limit: nothing was read
    Empty,        // a zero-length message
    Closed,       // the connection ended (also in the middle of a message)
};

// Sends one message.
bool Send(TcpSocket& kSocket, const char* pText, uint32 uiLength);
// Sends the close marker.
bool SendCloseMarker(TcpSocket& kSocket);
// Receives one message into a buffer of *puiCapacity bytes that grows (through
// the memory manager) as needed and is kept for the next message; the text is
// followed by a zero byte. Lengths above uiMaxLength are refused before
// anything of that size is allocated.
EReceive Receive(TcpSocket& kSocket, char*& pBuffer, size_t& uiCapacity, uint32 uiMaxLength, uint32* puiLength);

}  // namespace MessageFraming

}  // namespace Common
