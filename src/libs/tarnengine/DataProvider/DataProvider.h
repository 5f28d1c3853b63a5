#pragma once

#include <atomic>
#include <cstddef>

#include "Core/Types.h"

namespace DataProvider {

// Where the engine's data files are: a data root against which relative data
// paths (those written in prefab files, for example) are resolved.
//
// One instance per process, the engine's. Create makes it (the engine does at
// start when there is none), GetInstance reaches it and reports when there is
// none, Destroy frees the instance that Create made. A plug-in module binds
// its own copy of the accessor to the host's instance with SetInstance and
// never destroys it.
//
// Paths use '/' as separator. An absolute path starts with '/'; any other
// path is relative and is joined to the data root with one '/'. An empty data
// root (the initial value) leaves relative paths as they are, so that they
// name files relative to the working directory.
//
// Threads: the instance pointer is atomic; the data root is set on the engine
// thread at start-up and only read afterwards.
class DataPoviderInterface
{
public:
    // Capacity of the data root, terminator included.
    static constexpr uint32 kMaxRootLength = 1024;

    // Creates the instance. When one exists already (created or bound), the
    // call is reported and the existing one is returned. Null only when
    // memory was refused.
    static DataPoviderInterface* Create();
    // The instance; reports "DataProvider is not instanciated !!!" and gives
    // null when there is none.
    static DataPoviderInterface* GetInstance();
    // Whether there is an instance, without a report.
    static bool HasInstance() { return s_pInstance.load(std::memory_order_acquire) != nullptr; }
    // Binds this module to another module's live instance (null unbinds).
    // The bound instance is never destroyed from here.
    static void SetInstance(DataPoviderInterface* pInstance);
    // Destroys the instance that Create made; a bound instance is only let
    // go. Nothing happens when there is none.
    static void Destroy();

    DataPoviderInterface() = default;
    DataPoviderInterface(const DataPoviderInterface&) = delete;
    DataPoviderInterface& operator=(const DataPoviderInterface&) = delete;

    // Sets the data root (null counts as empty). Trailing '/' characters are
    // dropped, except for the root directory "/" itself. A path of
    // kMaxRootLength characters or more is reported and refused (false), and
    // the previous root stays.
    bool SetDataRoot(const char* pPath);
    const char* GetDataRoot() const { return m_acDataRoot; }

    // Writes the resolved form of pPath into pOut: an absolute path
    // unchanged, a relative one joined to the data root. False, with a report
    // and an empty pOut (when it has room for the terminator), for a null or
    // empty path, a null buffer, or a result that does not fit uiCapacity
    // bytes with its terminator.
    bool ResolvePath(const char* pPath, char* pOut, size_t uiCapacity) const;
    // The number of characters (terminator excluded) that ResolvePath writes
    // for pPath; 0 for a null or empty path. Lets a caller check a path
    // against its buffer without a report.
    size_t GetResolvedLength(const char* pPath) const;

    static bool IsAbsolutePath(const char* pPath) { return pPath && pPath[0] == '/'; }

private:
    static std::atomic<DataPoviderInterface*> s_pInstance;
    static std::atomic<bool> s_bOwnedInstance;

    char m_acDataRoot[kMaxRootLength] = {};
};

}  // namespace DataProvider
