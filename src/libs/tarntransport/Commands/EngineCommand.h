#pragma once

#include <tuple>
#include <type_traits>
#include <utility>

#include "Commands/ParamReader.h"
#include "Commands/PointerResolver.h"
#include "Commands/RemoteTypes.h"
#include "Commands/SingletonManager.h"
#include "Commands/TextArgReader.h"
#include "Core/Types.h"
#include "Utils/assertion.h"

// Engine commands: one registered object per (class name, method name) that
// reads the arguments of a request, calls one method of a remote interface
// and writes the result.
//
// Commands are plain storage: no destructor runs and nothing is owned, so
// that the manager can free the commands of a plug-in module without calling
// into the module. Every command type must stay trivially destructible.

namespace TarnEngine {

// The target of a command: the object of uiId, or the singleton of a
// singleton interface. Reported when missing, and noted on pReader.
template <class I> I* ResolveCommandTarget(uint32 uiId, JSonParamReader* pReader)
{
    CPointerResolver* pResolver = GetPointerResolverChecked(__FILE__, __LINE__);
    if (!pResolver)
    {
        if (pReader)
            pReader->NoteFailure("CPointerResolver::GetInstance()", "Instance ptr should be set (plugin?)");
        return nullptr;
    }
    if constexpr (kIsSingletonInterface<I>)
    {
        I* pCast = pResolver->GetSingleton<I>();
        if (!TARN_ASSERT(pCast, "Couldn't retrieve singleton pointer when executing command") && pReader)
            pReader->NoteFailure("pCast", "Couldn't retrieve singleton pointer when executing command");
        return pCast;
    }
    else
    {
        I* pRes = pResolver->GetPtr<I>(uiId);
        if (!pRes && pReader)
            pReader->NoteFailure("pRes != 0", "Cannot retreive instance ptr");
        return pRes;
    }
}

class EngineCommand
{
public:
    explicit EngineCommand(bool bSafeOffEngineThread = false) : m_bSafeOffEngineThread(bSafeOffEngineThread) {}

    // Runs the command on the object uiInstanceID (ignored by singleton
    // classes) with the arguments and result writer of kReader. 1 on
    // success; a failure is reported and noted on the reader, and the method
    // is not called.
    virtual int Execute(uint32 uiInstanceID, JSonParamReader& kReader) = 0;
    // The same call with the arguments taken from a space-separated text
    // (cut in place); writes no result.
    virtual int ExecuteText(uint32 uiInstanceID, char* pArguments) = 0;

    // True when the command may run on a network thread ("UseTcpThread"):
    // it touches nothing that belongs to the engine thread.
    bool IsSafeOffEngineThread() const { return m_bSafeOffEngineThread; }

protected:
    ~EngineCommand() = default;

private:
    bool m_bSafeOffEngineThread;
};

namespace Detail {

// The value an argument of type A is read into.
template <class A> using ArgStorage = std::remove_cvref_t<A>;

template <class Reader, class Tuple, size_t... N>
bool ReadAllArgs(Reader& kReader, Tuple& kArgs, std::index_sequence<N...>)
{
    // && evaluates left to right and stops at the first failure.
    return (kReader.ReadArg(std::get<N>(kArgs)) && ...);
}

// A command that calls R (I::*)(const A&...) on the target object.
template <class I, class R, class... A> class EngineCommandMethod : public EngineCommand
{
public:
    using Method = R (I::*)(const A&...);

    explicit EngineCommandMethod(Method pMethod = nullptr, bool bSafeOffEngineThread = false)
        : EngineCommand(bSafeOffEngineThread), m_pMethod(pMethod)
    {
    }

    int Execute(uint32 uiInstanceID, JSonParamReader& kReader) override
    {
        if (!TARN_ASSERT(m_pMethod, "engine command has no method"))
        {
            kReader.NoteFailure("m_pMethod", "engine command has no method");
            return 0;
        }
        I* pObject = ResolveCommandTarget<I>(uiInstanceID, &kReader);
        if (!pObject)
            return 0;
        std::tuple<ArgStorage<A>...> kArgs;
        if (!ReadAllArgs(kReader, kArgs, std::index_sequence_for<A...>{}))
            return 0;
        // The method may refuse its arguments (TARN_REMOTE_CHECK): the call
        // then fails with the refusal, and its result is not written.
        JSonParamReader::CCallScope kCall(kReader);
        if constexpr (std::is_void_v<R>)
        {
            Call(pObject, kArgs);
            if (kReader.HasFailed())
                return 0;
            kReader.WriteVoidResult();
        }
        else
        {
            const R kResult = Call(pObject, kArgs);
            if (kReader.HasFailed())
                return 0;
            kReader.WriteResult(kResult);
        }
        return 1;
    }

    int ExecuteText(uint32 uiInstanceID, char* pArguments) override
    {
        if (!TARN_ASSERT(m_pMethod, "engine command has no method"))
            return 0;
        I* pObject = ResolveCommandTarget<I>(uiInstanceID, nullptr);
        if (!pObject)
            return 0;
        std::tuple<ArgStorage<A>...> kArgs;
        CTextArgReader kReader(pArguments);
        if (!ReadAllArgs(kReader, kArgs, std::index_sequence_for<A...>{}))
            return 0;
        Call(pObject, kArgs);
        return 1;
    }

    Method GetMethod() const { return m_pMethod; }
    // What the method takes and gives, for the listing of remote classes.
    static SCommandSignature Describe() { return DescribeCommand<I, R, A...>(); }

private:
    R Call(I* pObject, std::tuple<ArgStorage<A>...>& kArgs)
    {
        return std::apply([&](auto&... kArg) -> R { return (pObject->*m_pMethod)(kArg...); }, kArgs);
    }

    Method m_pMethod;
};

}  // namespace Detail

// Commands of methods of I with zero to six arguments, returning R (R may be
// void). The method is called through the member pointer, so a pure virtual
// method of the stub interface reaches whatever class implements it.
// Arguments are taken by const reference.
template <class I, class R> class EngineCommandT0 : public Detail::EngineCommandMethod<I, R>
{
    using Detail::EngineCommandMethod<I, R>::EngineCommandMethod;
};
template <class I, class R, class A1> class EngineCommandT1 : public Detail::EngineCommandMethod<I, R, A1>
{
    using Detail::EngineCommandMethod<I, R, A1>::EngineCommandMethod;
};
template <class I, class R, class A1, class A2> class EngineCommandT2 : public Detail::EngineCommandMethod<I, R, A1, A2>
{
    using Detail::EngineCommandMethod<I, R, A1, A2>::EngineCommandMethod;
};
template <class I, class R, class A1, class A2, class A3>
class EngineCommandT3 : public Detail::EngineCommandMethod<I, R, A1, A2, A3>
{
    using Detail::EngineCommandMethod<I, R, A1, A2, A3>::EngineCommandMethod;
};
template <class I, class R, class A1, class A2, class A3, class A4>
class EngineCommandT4 : public Detail::EngineCommandMethod<I, R, A1, A2, A3, A4>
{
    using Detail::EngineCommandMethod<I, R, A1, A2, A3, A4>::EngineCommandMethod;
};
template <class I, class R, class A1, class A2, class A3, class A4, class A5>
class EngineCommandT5 : public Detail::EngineCommandMethod<I, R, A1, A2, A3, A4, A5>
{
    using Detail::EngineCommandMethod<I, R, A1, A2, A3, A4, A5>::EngineCommandMethod;
};
template <class I, class R, class A1, class A2, class A3, class A4, class A5, class A6>
class EngineCommandT6 : public Detail::EngineCommandMethod<I, R, A1, A2, A3, A4, A5, A6>
{
    using Detail::EngineCommandMethod<I, R, A1, A2, A3, A4, A5, A6>::EngineCommandMethod;
};

namespace Detail {

// The command template of a method with sizeof...(A) arguments.
template <class I, class R, class... A> struct SEngineCommandOf;
template <class I, class R> struct SEngineCommandOf<I, R>
{
    using Type = EngineCommandT0<I, R>;
};
template <class I, class R, class A1> struct SEngineCommandOf<I, R, A1>
{
    using Type = EngineCommandT1<I, R, A1>;
};
template <class I, class R, class A1, class A2> struct SEngineCommandOf<I, R, A1, A2>
{
    using Type = EngineCommandT2<I, R, A1, A2>;
};
template <class I, class R, class A1, class A2, class A3> struct SEngineCommandOf<I, R, A1, A2, A3>
{
    using Type = EngineCommandT3<I, R, A1, A2, A3>;
};
template <class I, class R, class A1, class A2, class A3, class A4> struct SEngineCommandOf<I, R, A1, A2, A3, A4>
{
    using Type = EngineCommandT4<I, R, A1, A2, A3, A4>;
};
template <class I, class R, class A1, class A2, class A3, class A4, class A5>
struct SEngineCommandOf<I, R, A1, A2, A3, A4, A5>
{
    using Type = EngineCommandT5<I, R, A1, A2, A3, A4, A5>;
};
template <class I, class R, class A1, class A2, class A3, class A4, class A5, class A6>
struct SEngineCommandOf<I, R, A1, A2, A3, A4, A5, A6>
{
    using Type = EngineCommandT6<I, R, A1, A2, A3, A4, A5, A6>;
};

}  // namespace Detail

// "GetRPCSingleton": answers {"Res":{"InstanceID":0}} with the singleton of I
// and adds one reference to it.
template <class I> class EngineCommandSingleton : public EngineCommand
{
    static_assert(kIsSingletonInterface<I>, "EngineCommandSingleton needs a singleton stub interface");

public:
    explicit EngineCommandSingleton(bool bSafeOffEngineThread = false) : EngineCommand(bSafeOffEngineThread) {}

    int Execute(uint32 /*uiInstanceID*/, JSonParamReader& kReader) override
    {
        I* pSingleton = ResolveCommandTarget<I>(0, &kReader);
        if (!pSingleton)
            return 0;
        kReader.WriteResult(pSingleton);
        return 1;
    }

    int ExecuteText(uint32 /*uiInstanceID*/, char* /*pArguments*/) override
    {
        return ResolveCommandTarget<I>(0, nullptr) ? 1 : 0;
    }

    // No argument; the singleton itself as the result.
    static SCommandSignature Describe() { return DescribeCommand<I, I*>(); }
};

}  // namespace TarnEngine
