#pragma once

#include <mutex>
#include <string>
#include <vector>

// Test helpers that capture what the system reports.
namespace TestSupport {

// Replaces the assertion handler for its lifetime and records every report's
// text ("Assertion \"...\" failed. ..."). Thread-safe. Nothing is printed.
class CAssertCapture
{
public:
    CAssertCapture();
    ~CAssertCapture();
    CAssertCapture(const CAssertCapture&) = delete;
    CAssertCapture& operator=(const CAssertCapture&) = delete;

    std::vector<std::string> Texts() const;
    size_t Count() const;
    // True when some report's text equals pText exactly.
    bool Has(const std::string& kText) const;
    void Clear();

private:
    static void OnReport(const char* pFile, int iLine, const char* pText, void* pUser);
    mutable std::mutex m_kLock;
    std::vector<std::string> m_kTexts;
    void* m_pOldHandler;
    void* m_pOldUser;
};

// Records every line written through the debug log for its lifetime.
class CLogCapture
{
public:
    CLogCapture();
    ~CLogCapture();
    CLogCapture(const CLogCapture&) = delete;
    CLogCapture& operator=(const CLogCapture&) = delete;

    std::vector<std::string> Lines() const;
    bool Has(const std::string& kLine) const;
    // True when some line contains kPart.
    bool Contains(const std::string& kPart) const;

private:
    static void OnLine(const char* pLine, void* pUser);
    mutable std::mutex m_kLock;
    std::vector<std::string> m_kLines;
};

// Records every text sent to the debugger output channel for its lifetime.
class CDebuggerChannelCapture
{
public:
    CDebuggerChannelCapture();
    ~CDebuggerChannelCapture();
    CDebuggerChannelCapture(const CDebuggerChannelCapture&) = delete;
    CDebuggerChannelCapture& operator=(const CDebuggerChannelCapture&) = delete;

    std::vector<std::string> Texts() const;

private:
    static void OnText(const char* pText, void* pUser);
    mutable std::mutex m_kLock;
    std::vector<std::string> m_kTexts;
    void* m_pOldChannel;
    void* m_pOldUser;
};

}  // namespace TestSupport
