#pragma once

#include <cstddef>

#include "Commands/ParamReader.h"

namespace TarnEngine {

// The text a command writes as its result, and the reply a connection sends.
//
// A growing, always zero-terminated byte buffer: it starts with 256 zeroed
// bytes, and when a character would leave no room for the terminator the
// capacity doubles (256, 512, 1024, ...), the new buffer zero-filled.
class CReturnBuffer : public JSonParamReader::RetWriter
{
public:
    static constexpr size_t kInitialCapacity = 256;

    CReturnBuffer();
    CReturnBuffer(const CReturnBuffer& kOther);
    ~CReturnBuffer() override;

    // Takes the other buffer's text (and at least its capacity).
    CReturnBuffer& operator=(const CReturnBuffer& kOther);

    // Appends one character; returns the new length. A character that does
    // not fit because memory was refused is dropped (reported).
    size_t Put(char cChar) override;
    void Flush() override {}
    // Appends uiLength bytes (any bytes, zeros included). False, nothing
    // appended, when memory is refused (reported).
    bool Append(const char* pData, size_t uiLength);

    // Drops the contents: length 0, capacity 256, zero-filled.
    void Clear();
    // Empties the text but keeps the memory, for a buffer refilled often.
    void Rewind()
    {
        m_uiLength = 0;
        if (m_pBuffer)
            m_pBuffer[0] = 0;
    }
    // Replaces the contents by a zero-terminated text.
    void SetText(const char* pText);

    // The text, always zero-terminated (never null).
    const char* GetText() const { return m_pBuffer ? m_pBuffer : ""; }
    size_t GetLength() const { return m_uiLength; }
    size_t GetCapacity() const { return m_uiCapacity; }
    bool IsEmpty() const { return m_uiLength == 0; }

private:
    // Replaces the buffer by a zero-filled one of uiCapacity bytes keeping
    // the first uiKeep bytes. False (nothing changed) when memory is refused.
    bool Reallocate(size_t uiCapacity, size_t uiKeep);

    size_t m_uiLength = 0;
    size_t m_uiCapacity = 0;
    char* m_pBuffer = nullptr;
};

}  // namespace TarnEngine
