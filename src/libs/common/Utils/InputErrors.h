#pragma once

#include <cstdarg>
#include <cstddef>

#include "Core/Types.h"

namespace Common {

// The problems found in one input that comes from outside the program (a
// data file, a document, a remote request) and the texts that tell them.
//
// The input is named by its source: a file name, "document", or the
// request. Each problem names the member it is about by its path
// ("Sequences[2].Frames[14]", "Arg0", or "document" and "file" for the
// input as a whole) and says what is wrong with it. Every problem is
// counted; the first ones are kept, up to the limit and while they fit in
// the store (kStoreCapacity characters, enough for what a text can show),
// the rest only counted. Text longer than its room is cut, never written
// past it: a source after kSourceCapacity - 1 characters, a path after
// kPathCapacity - 1, a problem after kProblemCapacity - 1, a composed text
// after its room minus one.
//
// GetText composes the kept problems in the form chosen with Reset:
//   EForm::FirstProblem  "<source>: <path>: <problem>" of the first problem
//   EForm::ProblemLines  "<path>: <problem>\n" for each kept problem in
//                        order while the line fits (kClosingLineRoom
//                        characters stay free after it), then
//                        "document: N more problems not listed\n" for the
//                        ones not listed
//   EForm::Assertion     "Assertion \"<path>\" failed. <problem>" of the
//                        first problem, worded as the assertion facility
//                        words a report
// and gives "" while there is no problem.
//
// Ownership: holds everything in itself (no block of the memory manager, so
// that a refused input leaves nothing allocated); a copy has its own. One
// thread at a time.
class CInputErrors
{
public:
    enum class EForm : uint8
    {
        FirstProblem,
        ProblemLines,
        Assertion,
    };

    static constexpr uint32 kDefaultLimit = 32;
    static constexpr uint32 kSourceCapacity = 1024;
    static constexpr uint32 kPathCapacity = 256;
    static constexpr uint32 kProblemCapacity = 1024;
    static constexpr uint32 kTextCapacity = 4096;
    static constexpr uint32 kStoreCapacity = 4096;
    // Room kept free behind the listed lines for the closing count.
    static constexpr uint32 kClosingLineRoom = 64;

    // Keeps at most uiLimit problems (0 is taken as 1). The source is ""
    // and the form FirstProblem with the whole text room until Reset.
    explicit CInputErrors(uint32 uiLimit = kDefaultLimit);

    // Forgets every problem and starts over for pSource (null for ""). The
    // text takes the form eForm, cut to fit uiTextRoom characters with its
    // terminating NUL (at most kTextCapacity).
    void Reset(const char* pSource, EForm eForm = EForm::FirstProblem, uint32 uiTextRoom = kTextCapacity);

    // Counts a problem of the member at pPath (null for "document"), the
    // problem formatted from pFormat. False when it is only counted: the
    // limit is reached, the store is full, or an earlier one was not kept.
    bool Add(const char* pPath, const char* pFormat, ...) TARN_PRINTF_FORMAT(3, 4);
    bool AddV(const char* pPath, const char* pFormat, va_list kArgs);

    bool IsEmpty() const { return m_uiCount == 0; }
    // Every problem added since Reset, kept or not.
    uint32 GetCount() const { return m_uiCount; }
    uint32 GetKeptCount() const { return m_uiKept; }
    uint32 GetLimit() const { return m_uiLimit; }
    const char* GetSource() const { return m_acSource; }
    // A kept problem's path and text ("" past the kept ones).
    const char* GetPath(uint32 uiIndex) const;
    const char* GetProblem(uint32 uiIndex) const;

    // Writes "<source>: <path>: <problem>" of a kept problem into pOut (""
    // past the kept ones), cut to fit uiCapacity. Returns pOut.
    const char* FormatProblem(uint32 uiIndex, char* pOut, size_t uiCapacity) const;

    // The problems in the form chosen with Reset; valid until the next
    // change.
    const char* GetText() const;
    // How many of the first problems GetText shows one by one.
    uint32 GetListedCount() const;
    // Writes "N more problems not listed" ("1 more problem ...") for the
    // problems after the first uiListed, cut to fit uiCapacity. False, with
    // pOut left as it is, when there are none.
    bool FormatUnlisted(uint32 uiListed, char* pOut, size_t uiCapacity) const;

private:
    // Kept problem uiIndex in the store: its path, followed by its problem.
    const char* FindEntry(uint32 uiIndex) const;
    void Compose() const;
    void ComposeLines() const;

    uint32 m_uiLimit;
    uint32 m_uiCount = 0;
    uint32 m_uiKept = 0;
    uint32 m_uiStoreLength = 0;
    EForm m_eForm = EForm::FirstProblem;
    uint32 m_uiTextRoom = kTextCapacity;
    // The buffers are written before they are read, and are not cleared on
    // construction: a remote call makes one of these, and clearing 9 KiB
    // would cost it more than the rest of its checks.
    char m_acSource[kSourceCapacity];
    // The kept problems one after the other, each "<path>\0<problem>\0".
    char m_acStore[kStoreCapacity];
    // Composed on demand by GetText.
    mutable bool m_bComposed = false;
    mutable uint32 m_uiListed = 0;
    mutable char m_acText[kTextCapacity];
};

// The path of the member being read, as CInputErrors names it:
// "Binds[3].NameKeySource", "document" at the top. A path longer than
// CInputErrors::kPathCapacity - 1 characters is cut there.
class CMemberPath
{
public:
    const char* Get() const { return m_uiLength ? m_acText : "document"; }

    // Appends ".Member" (or "Member" at the top) or "[index]" for its
    // lifetime.
    class CScope
    {
    public:
        CScope(CMemberPath& kPath, const char* pMember);
        CScope(CMemberPath& kPath, uint32 uiIndex);
        ~CScope();
        CScope(const CScope&) = delete;
        CScope& operator=(const CScope&) = delete;

    private:
        CMemberPath& m_kPath;
        uint32 m_uiLength;
    };

private:
    void Append(const char* pFormat, ...) TARN_PRINTF_FORMAT(2, 3);

    char m_acText[CInputErrors::kPathCapacity] = {};
    uint32 m_uiLength = 0;
};

}  // namespace Common
