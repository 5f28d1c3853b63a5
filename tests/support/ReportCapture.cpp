#include "support/ReportCapture.h"

#include <algorithm>

#include "System/Posix/PosixDebugger.h"
#include "Utils/assertion.h"
#include "Utils/debuglog.h"

namespace TestSupport {

CAssertCapture::CAssertCapture()
{
    m_pOldHandler = reinterpret_cast<void*>(Common::SetAssertHandler(&OnReport, this, &m_pOldUser));
}

CAssertCapture::~CAssertCapture()
{
    Common::SetAssertHandler(reinterpret_cast<Common::AssertHandler>(m_pOldHandler), m_pOldUser);
}

void CAssertCapture::OnReport(const char*, int, const char* pText, void* pUser)
{
    auto* pSelf = static_cast<CAssertCapture*>(pUser);
    std::lock_guard<std::mutex> kGuard(pSelf->m_kLock);
    pSelf->m_kTexts.emplace_back(pText);
}

std::vector<std::string> CAssertCapture::Texts() const
{
    std::lock_guard<std::mutex> kGuard(m_kLock);
    return m_kTexts;
}

size_t CAssertCapture::Count() const
{
    std::lock_guard<std::mutex> kGuard(m_kLock);
    return m_kTexts.size();
}

bool CAssertCapture::Has(const std::string& kText) const
{
    std::lock_guard<std::mutex> kGuard(m_kLock);
    return std::find(m_kTexts.begin(), m_kTexts.end(), kText) != m_kTexts.end();
}

void CAssertCapture::Clear()
{
    std::lock_guard<std::mutex> kGuard(m_kLock);
    m_kTexts.clear();
}

CLogCapture::CLogCapture()
{
    Common::CDebugLog::SetListener(&OnLine, this);
}

CLogCapture::~CLogCapture()
{
    Common::CDebugLog::SetListener(nullptr, nullptr);
}

void CLogCapture::OnLine(const char* pLine, void* pUser)
{
    auto* pSelf = static_cast<CLogCapture*>(pUser);
    std::lock_guard<std::mutex> kGuard(pSelf->m_kLock);
    pSelf->m_kLines.emplace_back(pLine);
}

std::vector<std::string> CLogCapture::Lines() const
{
    std::lock_guard<std::mutex> kGuard(m_kLock);
    return m_kLines;
}

bool CLogCapture::Has(const std::string& kLine) const
{
    std::lock_guard<std::mutex> kGuard(m_kLock);
    return std::find(m_kLines.begin(), m_kLines.end(), kLine) != m_kLines.end();
}

bool CLogCapture::Contains(const std::string& kPart) const
{
    std::lock_guard<std::mutex> kGuard(m_kLock);
    return std::any_of(m_kLines.begin(), m_kLines.end(),
                       [&](const std::string& kLine) { return kLine.find(kPart) != std::string::npos; });
}

CDebuggerChannelCapture::CDebuggerChannelCapture()
{
    m_pOldChannel = reinterpret_cast<void*>(Common::Posix::SetDebuggerChannel(&OnText, this, &m_pOldUser));
}

CDebuggerChannelCapture::~CDebuggerChannelCapture()
{
    Common::Posix::SetDebuggerChannel(reinterpret_cast<Common::Posix::DebuggerChannel>(m_pOldChannel), m_pOldUser);
}

void CDebuggerChannelCapture::OnText(const char* pText, void* pUser)
{
    auto* pSelf = static_cast<CDebuggerChannelCapture*>(pUser);
    std::lock_guard<std::mutex> kGuard(pSelf->m_kLock);
    pSelf->m_kTexts.emplace_back(pText);
}

std::vector<std::string> CDebuggerChannelCapture::Texts() const
{
    std::lock_guard<std::mutex> kGuard(m_kLock);
    return m_kTexts;
}

}  // namespace TestSupport
