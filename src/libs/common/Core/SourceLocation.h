#pragma once

namespace Common {

// Where a report or an allocation comes from: all three are constant strings
// of the caller, never copied. The file is relative to the repository root.
struct SourceLocation
{
    const char* pFile;
    int iLine;
    const char* pFunction;
};

}  // namespace Common

#define TARN_SOURCE_LOCATION (::Common::SourceLocation{__FILE__, __LINE__, __func__})
