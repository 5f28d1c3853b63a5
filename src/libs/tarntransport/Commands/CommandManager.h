#pragma once

#include <cstddef>
#include <new>
#include <type_traits>

#include "Commands/CommandQueue.h"
#include "Commands/EngineCommand.h"
#include "Commands/PointerResolver.h"
#include "Commands/RemoteTypes.h"
#include "Commands/ReturnBuffer.h"
#include "Containers/TMap.h"
#include "Core/Types.h"
#include "System/MemoryManager/MemoryManager.h"
#include "System/Mutex/Mutex.h"
#include "Utils/assertion.h"
#include "Utils/idfromstring.h"

namespace TarnEngine {

// One registered command as CommandManager::ListCommands gives it. The texts
// belong to the manager and stay valid as long as it lives.
struct SRemoteMethodInfo
{
    const char* pClassName = "";
    const char* pMethodName = "";
    // Type names as RemoteTypes.h gives them, a remote object by the class
    // name its interface is registered under ("object" for an interface no
    // class was registered with).
    const char* pResultType = "";
    uint32 uiArgCount = 0;
    const char* apArgTypes[kMaxCommandArgs] = {};
    // Whether the class is a singleton one (any "InstanceID" reaches it).
    bool bSingletonClass = false;
    bool bSafeOffEngineThread = false;
};

// The registry of engine commands and the queue that runs them.
//
// Commands are keyed by GenerateUIntIdFromString(class name, method name).
// Beside the registry, a catalogue keeps, per command, copies of the names
// and the signature that the command type describes (what its arguments
// are read as and its result written as), so that clients can list the
// remote classes as they really are (ListCommands). The first registration
// of a pair stays in force: registering it again changes nothing. Plug-ins
// register their commands on the host's manager. Registration may happen
// while network threads look commands up: the registry has its own lock.
//
// A request is one JSON object:
//   {"ClassName": string, "MethodName": string, "InstanceID": int32,
//    "WaitAck": bool, "UseTcpThread": bool, "Arg0": ..., "Arg1": ...}
// all five envelope members required. "WaitAck" asks for the result
// ({"Res": value}, {} for void, or {"Error": "<report text>"} when the
// request fails); "UseTcpThread" runs the command on the calling (network)
// thread, and is honoured only for commands registered as safe off the
// engine thread; other such requests are queued as if it were false.
class CommandManager
{
public:
    // Longest argument text of ExecuteDirect, terminator included.
    static constexpr size_t kDirectArgumentsSize = 4096;
    // Most values a remote request may hold (member names included): a
    // request names a method and gives it at most six arguments, and the
    // bound keeps what parsing a request costs close to its length.
    static constexpr uint32 kMaxRequestValues = 4096;
    // The explanation given for a class and method nobody registered. Peers
    // match this text as it is written, spelling included.
    static constexpr const char* kNotRegisteredText = "this command is not registred";

    CommandManager() = default;
    ~CommandManager();
    CommandManager(const CommandManager&) = delete;
    CommandManager& operator=(const CommandManager&) = delete;

    // Creates the pointer resolver and installs it as the process-wide one.
    // False when another resolver was installed already (it stays; this
    // manager keeps its own unused one). A second call changes nothing.
    bool Init();
    CPointerResolver* GetPointerResolver() const { return m_pPointerResolver; }

    static uint32 GetCommandId(const char* pClassName, const char* pMethodName)
    {
        return GenerateUIntIdFromString(pClassName, pMethodName);
    }

    // Registers a command of type C made from kArgs under (class, method)
    // and returns it. When the pair is registered already, nothing changes
    // and a per-C spare object is returned instead: what the caller writes
    // into it is never called.
    template <class C, class... Args>
    C* GenericRegister(const char* pClassName, const char* pMethodName, Args&&... kArgs);

    // Registers a method of the stub interface I, e.g.
    //   Register("GaitComponentRpc", "SetSpeed", &RPC::IRPCStub_CGaitComponent::SetSpeed);
    // giving EngineCommandT<n><I, R, A...>. bSafeOffEngineThread allows
    // "UseTcpThread" for it.
    template <class I, class R, class... A>
    EngineCommand* Register(const char* pClassName, const char* pMethodName, R (I::*pMethod)(const A&...),
                            bool bSafeOffEngineThread = false)
    {
        static_assert(sizeof...(A) <= 6, "engine commands take at most six arguments");
        using C = typename Detail::SEngineCommandOf<I, R, A...>::Type;
        return GenericRegister<C>(pClassName, pMethodName, pMethod, bSafeOffEngineThread);
    }
    // "ReleaseRef" of the class of stub interface I (result: the count left).
    template <class I> EngineCommand* RegisterReleaseRef(const char* pClassName)
    {
        return GenericRegister<EngineCommandT0<I, int>>(pClassName, "ReleaseRef",
                                                        static_cast<int (I::*)()>(&I::ReleaseRef), false);
    }
    // "GetRPCSingleton" of the class of singleton stub interface I.
    template <class I> EngineCommand* RegisterSingleton(const char* pClassName)
    {
        return GenericRegister<EngineCommandSingleton<I>>(pClassName, "GetRPCSingleton", false);
    }

    // The command of (class, method), or null.
    EngineCommand* FindCommand(const char* pClassName, const char* pMethodName) const;
    EngineCommand* FindCommand(uint32 uiCommandId) const;
    uint32 GetCommandCount() const;
    // Every registered command, in registration order, into kOut (emptied
    // first).
    void ListCommands(TarnRenderer::TArray<SRemoteMethodInfo>& kOut) const;

    // Runs one request (uiLength bytes of JSON text; the second form reads a
    // zero-terminated text). pReply, when given, receives the result of a
    // "WaitAck" request before the call returns. A malformed request (text
    // that is not a JSON object, nests deeper than Common::kMaxJsonNesting,
    // holds more than kMaxRequestValues values, a missing or mistyped
    // envelope member, a class or method name with a NUL character) or an
    // unregistered command is reported and runs nothing; when the request
    // asked for "WaitAck" the reply is {"Error":"<report text>"}. For text
    // that cannot be parsed, the raw text decides whether it asked
    // (Common::JsonTextAsksForReply). pAccount, when given, was charged
    // uiCharge for the request and gets it back exactly once, when the
    // request is done with. True when the request was accepted (run or
    // queued).
    // With pDeferred, an acknowledged request is queued without waiting for
    // it (see CommandQueue::Push): its reply is in pReply once
    // CommandQueue::WaitPending(*pDeferred) returns; pReply must live until
    // then. A request refused before it is queued is answered at once.
    bool ExecuteJSon(const char* pText, size_t uiLength, CReturnBuffer* pReply, IRequestAccount* pAccount = nullptr,
                     uint64 uiCharge = 0, CPendingReplies* pDeferred = nullptr);
    bool ExecuteJSon(const char* pText, CReturnBuffer* pReply);

    // Runs a registered command at once on the calling thread, instance 0,
    // with its arguments as a space-separated text (at most
    // kDirectArgumentsSize - 1 characters; a longer text is refused).
    bool ExecuteDirect(const char* pClassName, const char* pMethodName, const char* pArguments);

    // Runs the pending commands on the calling (engine) thread.
    uint32 ProcessQueue() { return m_kQueue.ProcessQueue(); }
    CommandQueue& GetQueue() { return m_kQueue; }
    // The event the engine loop waits on between its steps.
    Common::CEvent& GetWakeEvent() { return m_kQueue.GetWakeEvent(); }

private:
    // A command's names and signature, the texts in the same block behind it.
    struct SCatalogueEntry;

    // Adds (id, command) and the command's catalogue entry unless the id is
    // present; true when added.
    bool Insert(uint32 uiCommandId, EngineCommand* pCommand, const char* pClassName, const char* pMethodName,
                const SCommandSignature& kSignature);
    static void FreeCommand(EngineCommand* pCommand);
    // The class name registered for commands of the interface uiKey, or
    // null. Registry lock held.
    const char* FindClassOfInterface(uint32 uiKey) const;

    CPointerResolver* m_pPointerResolver = nullptr;
    TarnRenderer::TMap<unsigned int, EngineCommand*> m_kRegistry;
    // Owned, in registration order; guarded by the registry lock.
    TarnRenderer::TArray<SCatalogueEntry*> m_kCatalogue;
    CommandQueue m_kQueue;
    mutable Common::CLockable m_kRegistryLock;
};

template <class C, class... Args>
C* CommandManager::GenericRegister(const char* pClassName, const char* pMethodName, Args&&... kArgs)
{
    static_assert(std::is_base_of_v<EngineCommand, C>, "commands derive from EngineCommand");
    static_assert(std::is_trivially_destructible_v<C>, "commands are freed as plain storage");
    static C s_kSpare;

    const uint32 uiCommandId = GetCommandId(pClassName, pMethodName);
    if (FindCommand(uiCommandId))
        return &s_kSpare;

    void* pBlock = nullptr;
    {
        Common::Mem::CTagScope kTag("TarnEngine::CommandManager::GenericRegister");
        pBlock = TARN_ALLOC_ALIGNED(sizeof(C), alignof(C) > 16 ? static_cast<uint32>(alignof(C)) : 16u);
    }
    if (!TARN_ASSERT(pBlock, "no memory for an engine command"))
        return &s_kSpare;
    C* pCommand = ::new (pBlock) C(std::forward<Args>(kArgs)...);
    // Command types describe the method they call; any other is listed
    // with an unknown result and no argument.
    SCommandSignature kSignature;
    if constexpr (requires { C::Describe(); })
        kSignature = C::Describe();
    else
        kSignature.kResult.pName = "unknown";
    // The command is freed through its EngineCommand pointer.
    if (!TARN_ASSERT(static_cast<void*>(static_cast<EngineCommand*>(pCommand)) == pBlock,
                     "engine command base is not at the start of the object") ||
        !Insert(uiCommandId, pCommand, pClassName, pMethodName, kSignature))
    {
        TARN_FREE(pBlock);
        return &s_kSpare;
    }
    return pCommand;
}

}  // namespace TarnEngine
