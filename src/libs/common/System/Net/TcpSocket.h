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

    // Whether pAddress is a dotted IPv4 address of the loopback network
    // (127.0.0.0/8); false for anything else, host names included.
    static bool IsLoopbackAddress(const char* pAddress);

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

    // Bounds every Send: when the peer does not take the bytes within
    // uiMilliseconds, the send fails and HasTimedOut answers true. 0 (the
    // default) waits as long as the kernel does.
    void SetSendTimeout(uint32 uiMilliseconds) { m_uiSendTimeoutMs = uiMilliseconds; }
    // Whether the last failed Send or ReceiveSome failed for lack of time.
    bool HasTimedOut() const { return m_bTimedOut.load(std::memory_order_acquire); }

    // Sends the whole buffer. False (printed) when the connection failed or
    // the send timed out.
    bool Send(const void* pData, size_t uiLength) { return Send(pData, uiLength, nullptr, 0); }
    // Sends two buffers back to back in one system call where the kernel
    // takes them whole, so that a header and its body leave as one segment.
    bool Send(const void* pFirst, size_t uiFirst, const void* pSecond, size_t uiSecond);
    // Receives exactly uiLength bytes. False when the peer closed the
    // connection ("Connection closed") or it failed; then *pReceived (when
    // given) says how many bytes did arrive.
    bool Receive(void* pData, size_t uiLength, size_t* pReceived = nullptr);
    // Receives what is waiting, at least one byte and at most uiCapacity:
    // the number of bytes, or 0 when the peer closed the connection or it
    // failed (printed as Receive does). With uiSpinMicroseconds, polls
    // without sleeping for that long before it blocks: a peer that answers
    // quickly is then served without the cost of waking this thread. With a
    // deadline (a monotonic time in nanoseconds, 0 for none), nothing
    // arriving by then gives 0 with HasTimedOut true.
    size_t ReceiveSome(void* pData, size_t uiCapacity, uint32 uiSpinMicroseconds = 0, int64 iDeadlineNs = 0);
    // Whether data (or the peer's close) is waiting, within uiTimeoutMs.
    bool HasData(uint32 uiTimeoutMs) const;

    // Ends the connection (or a listening socket's accept) without closing
    // the descriptor: a thread blocked in Accept or Receive on it returns.
    // This is what other threads call; the owning thread then closes.
    void Shutdown();
    // Ends the receiving side only: a thread blocked in a receive returns
    // as if the peer had closed, while replies can still be sent.
    void ShutdownReceive();
    // Shuts the connection down and closes the descriptor; the owning thread
    // calls it (a descriptor closed under another thread's call could be
    // reused at once for something else). Safe to call more than once.
    void Close();
    bool IsOpen() const { return m_iSocket.load(std::memory_order_acquire) >= 0; }
    // The descriptor, for options this class does not set (-1 when closed).
    int GetDescriptor() const { return m_iSocket.load(std::memory_order_acquire); }
    bool IsConnected() const { return m_bConnected.load(std::memory_order_acquire); }
    uint16 GetPort() const { return m_uiPort; }

private:
    std::atomic<int> m_iSocket{-1};
    std::atomic<bool> m_bConnected{false};
    std::atomic<bool> m_bTimedOut{false};
    uint32 m_uiSendTimeoutMs = 0;
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
    TimedOut,     // a message begun was not complete within the frame time
};

// Decides, once a message's length is known and before its body is read,
// whether the reader goes on: a server holds a message here until it has
// room for it. False ends the read with Closed.
class IFrameAdmission
{
public:
    virtual bool Admit(uint32 uiLength) = 0;

protected:
    ~IFrameAdmission() = default;
};

// Sends one message.
bool Send(TcpSocket& kSocket, const char* pText, uint32 uiLength);
// Sends the close marker.
bool SendCloseMarker(TcpSocket& kSocket);
// Receives one message into a buffer of *puiCapacity bytes that grows (through
// the memory manager) as needed and is kept for the next message; the text is
// followed by a zero byte. Lengths above uiMaxLength are refused before
// anything of that size is allocated. Reads exactly one message (two system
// calls); a connection's server reads through a CReader instead.
EReceive Receive(TcpSocket& kSocket, char*& pBuffer, size_t& uiCapacity, uint32 uiMaxLength, uint32* puiLength);

// Reads the messages of one connection through a buffer of its own: one
// system call brings in as many messages as have arrived, instead of two
// calls per message.
//
// Owns its buffer (memory-manager memory, grown to the longest message seen
// and kept). A message's text stays valid, followed by a zero byte, until the
// next call to Receive or Reset. Lengths above the limit are refused before
// anything of that size is allocated; the rest of such a message is not read.
class CReader
{
public:
    explicit CReader(uint32 uiMaxLength) : m_uiMaxLength(uiMaxLength) {}
    ~CReader();
    CReader(const CReader&) = delete;
    CReader& operator=(const CReader&) = delete;

    // The next message. Message: *ppText holds *puiLength bytes. TooLong:
    // *puiLength is the announced length. Closed also when the connection
    // ends in the middle of a message, or the buffer cannot grow, or
    // pAdmission refused the message. TimedOut when a message whose first
    // byte has arrived is not complete within the frame time (waiting for
    // the first byte has no limit, nor has the admission).
    EReceive Receive(TcpSocket& kSocket, const char** ppText, uint32* puiLength, IFrameAdmission* pAdmission = nullptr);
    // Whether bytes of a next message are buffered already.
    bool HasBuffered() const { return m_uiEnd > m_uiBegin; }
    // Whether the next Receive needs nothing more from the socket: a whole
    // message is buffered, or a header that Receive answers by itself (the
    // close marker, an empty or too long message). A client that sends
    // several requests at once is served them in one go.
    bool HasWholeMessage() const;
    // Forgets what is buffered (a new connection).
    void Reset();
    // Gives a buffer grown for a long message back once nothing is buffered,
    // so that a connection holds a long message's memory only while it
    // handles it. The last message's text is invalid afterwards.
    void Trim();
    // Bytes held by the buffer now.
    size_t GetCapacity() const { return m_uiCapacity; }
    // How long a begun message may take to arrive whole; 0 for no limit.
    void SetFrameTimeoutMs(uint32 uiMilliseconds) { m_uiFrameTimeoutMs = uiMilliseconds; }
    // How long a read polls before it sleeps (see TcpSocket::ReceiveSome).
    void SetSpinMicroseconds(uint32 uiMicroseconds) { m_uiSpinMicroseconds = uiMicroseconds; }
    void SetMaxLength(uint32 uiMaxLength) { m_uiMaxLength = uiMaxLength; }
    uint32 GetMaxLength() const { return m_uiMaxLength; }

private:
    // Makes at least uiBytes bytes from m_uiBegin available; false when the
    // connection ended first, the deadline passed, or the buffer could not
    // grow. A long message is read exactly, never beyond its end, so that
    // its buffer can be given back as soon as it is handled.
    bool Fill(TcpSocket& kSocket, size_t uiBytes, int64 iDeadlineNs);

    char* m_pBuffer = nullptr;
    size_t m_uiCapacity = 0;  // one byte is always kept for the terminator
    size_t m_uiBegin = 0;     // first unread byte
    size_t m_uiEnd = 0;       // one past the last received byte
    // The byte that the last message's terminator replaced, and where.
    size_t m_uiRestoreAt = 0;
    char m_cRestore = 0;
    bool m_bRestore = false;
    uint32 m_uiMaxLength;
    uint32 m_uiSpinMicroseconds = 0;
    uint32 m_uiFrameTimeoutMs = 0;
};

}  // namespace MessageFraming

}  // namespace Common
