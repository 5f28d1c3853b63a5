#pragma once

#include <atomic>
#include <cmath>
#include <cstdarg>
#include <cstdlib>
#include <limits>
#include <tuple>
#include <type_traits>

#include <rapidjson/writer.h>

#include "Containers/TMap.h"
#include "Core/Types.h"
#include "Math/LocalVector3.h"
#include "Math/Quaternion.h"
#include "Utils/JsonDocument.h"
#include "System/MemoryManager/MemoryManager.h"
#include "System/Mutex/Mutex.h"
#include "Utils/ClassName.h"
#include "Utils/JsonAllocator.h"
#include "Utils/assertion.h"

// Remote objects and the marshalling of remote calls.
//
// A remote client never holds engine pointers: it holds instance IDs, small
// integers handed out per remote interface, and calls methods by class name,
// method name and ID. Every remote class comes as a pair:
//
//   namespace RPC {
//   class IRPCStub_CThing : public TarnEngine::CInstanceManager<IRPCStub_CThing>
//   {
//   public:
//       virtual void SetSpeed(const float& fSpeed) = 0;   // remote methods:
//       virtual bool IsActive() = 0;                       // pure virtual,
//   };                                                     // arguments by
//   class CThing : public IRPCStub_CThing { ... };        // const reference
//   }
//
// The stub interface derives from CInstanceManager<itself> (many objects, each
// with its own ID) or CSingletonManager<itself> (one object, ID 0); both derive
// from CClientRefCount. Instance objects must be made with TARN_NEW: the last
// ReleaseRef deletes them with TARN_DELETE.
//
// The pointer resolver maps IDs to objects per interface, keyed by the
// interface's class identifier (Common::GetClassId, the identifier of
// "class RPC::IRPCStub_CThing"), so that a host and its plug-in modules agree
// on the keys. IDs start at 0 per interface and are never reused.

// A remote method's check of its own arguments: true when cond holds, else
// the call is refused (RefuseRemoteCall) and false, so methods write
//   if (!TARN_REMOTE_CHECK(fSpeed >= 0.0f, "Arg0", "argument Arg0 must be ...")) return;
#define TARN_REMOTE_CHECK(cond, exprText, ...) \
    (static_cast<bool>(cond) ? true : ::TarnEngine::RefuseRemoteCall(__FILE__, __LINE__, exprText, __VA_ARGS__))

namespace TarnEngine {

class CPointerResolver;

// A reference count handed to remote clients. Starts at 0.
class CClientRefCount
{
public:
    CClientRefCount() = default;
    CClientRefCount(const CClientRefCount&) = delete;
    CClientRefCount& operator=(const CClientRefCount&) = delete;

    // Called when ReleaseRef brings the count to 0. Does nothing here.
    virtual void OnLastReference() {}
    virtual ~CClientRefCount() = default;

    // Adds one reference; returns the new count.
    int AddRef() { return static_cast<int>(++m_uiRefCount); }
    // Gives one back; at 0 calls OnLastReference (which may destroy the
    // object). Returns the new count. A release of a count already at 0 is
    // reported and changes nothing.
    int ReleaseRef();
    uint32 GetRefCount() const { return m_uiRefCount; }

private:
    uint32 m_uiRefCount = 0;
};

// Maps instance IDs to objects, and the reverse, per remote interface; keeps
// the singletons. One per process: the host's command manager makes it, and a
// plug-in module installs the host's one before it makes remote objects.
//
// The maps are guarded by the resolver's own lock, so that commands declared
// safe off the engine thread may resolve IDs while the engine thread creates
// or releases objects.
class CPointerResolver : private Common::CNonCopyable
{
public:
    CPointerResolver() = default;
    ~CPointerResolver();

    // The process-wide resolver, null until one is installed.
    static CPointerResolver* GetInstance() { return s_pInstance.load(std::memory_order_acquire); }
    // Installs pResolver. A second installation is refused with a debug line
    // ("<this file> : Instance has already been set") and false; the first
    // instance stays.
    static bool SetInstance(CPointerResolver* pResolver);
    // Clears the process-wide slot when it holds pResolver.
    static void ReleaseInstance(CPointerResolver* pResolver);

    // Typed forms (I is the stub interface). Objects are stored as their
    // CInstanceManager<I> / CSingletonManager<I> base, which the typed forms
    // convert from and to.
    //
    // The object of an ID; reports "pRes != 0" ("Cannot retreive instance
    // ptr") and gives null when the ID is not registered.
    template <class I>
    I* GetPtr(uint32 uiId) const;
    // The ID of an object; kInvalidIndex (reported) when not registered.
    template <class I>
    uint32 GetID(const I* pObject) const;
    // The singleton of I, or null.
    template <class I>
    I* GetSingleton() const;

    // Untyped forms, by type key. The objects are stored as the interface
    // pointers of the typed forms.
    uint32 RegisterPtr(uint32 uiTypeKey, void* pObject);
    void UnregisterPtr(uint32 uiTypeKey, const void* pObject);
    // Null / kInvalidIndex when absent; nothing is reported.
    void* FindPtr(uint32 uiTypeKey, uint32 uiId) const;
    uint32 FindID(uint32 uiTypeKey, const void* pObject) const;
    void SetSingletonPtr(uint32 uiTypeKey, void* pObject);
    // Removes the singleton record of the type when it is pObject.
    void ClearSingletonPtr(uint32 uiTypeKey, const void* pObject);
    void* GetSingletonPtr(uint32 uiTypeKey) const;
    // Drops every client reference still held on the objects with IDs, so
    // that each is deleted (clients that never called ReleaseRef leave them
    // behind). Objects are stored as CInstanceManager<I> addresses, which
    // are their CClientRefCount bases. Returns how many objects went. Run it
    // on the engine thread while no command runs, before what the objects
    // point to (the world, the plug-ins) is destroyed.
    uint32 ReleaseAllInstances();
    // The ID the next object of the type will get (0 for an unknown type).
    uint32 GetNextID(uint32 uiTypeKey) const;
    // Live objects of the type.
    uint32 GetObjectCount(uint32 uiTypeKey) const;

    // Most live objects of one remote interface: clients that take objects
    // and never give them back cannot make the engine grow without end.
    // Methods that make objects check HasRoomFor first.
    static constexpr uint32 kMaxObjectsPerType = 100000;
    template <class I>
    bool HasRoomFor() const
    {
        return GetObjectCount(Common::GetClassId<I>()) < kMaxObjectsPerType;
    }

private:
    using IDToPtrMap = TarnRenderer::TMap<unsigned int, void*>;
    using PtrToIDMap = TarnRenderer::TMap<void*, unsigned int>;

    static std::atomic<CPointerResolver*> s_pInstance;

    TarnRenderer::TMap<unsigned int, IDToPtrMap*> m_kIDToPtrMaps;
    TarnRenderer::TMap<unsigned int, PtrToIDMap*> m_kPtrToIDMaps;
    TarnRenderer::TMap<unsigned int, unsigned int> m_kNextIDs;
    TarnRenderer::TMap<unsigned int, void*> m_kSingletons;
    mutable Common::CLockable m_kLock;
};

// The process-wide resolver, reported when missing ("Instance ptr should be
// set (plugin?)").
CPointerResolver* GetPointerResolverChecked(const char* pFile, int iLine);

// Base of the stub interfaces with many objects. Construction gives the
// object the next ID of I and enters it into the resolver; destruction
// removes it. The last ReleaseRef deletes the object.
template <class I>
class CInstanceManager : public CClientRefCount
{
public:
    using InterfaceType = I;

    CInstanceManager()
    {
        CPointerResolver* pResolver = GetPointerResolverChecked(__FILE__, __LINE__);
        if (pResolver)
            m_uiInstanceID = pResolver->RegisterPtr(Common::GetClassId<I>(), this);
    }
    ~CInstanceManager() override
    {
        CPointerResolver* pResolver = GetPointerResolverChecked(__FILE__, __LINE__);
        if (pResolver)
            pResolver->UnregisterPtr(Common::GetClassId<I>(), this);
    }

    void OnLastReference() override { TARN_DELETE(this); }

    // The ID given at construction (kInvalidIndex without a resolver).
    uint32 GetInstanceID() const { return m_uiInstanceID; }

private:
    uint32 m_uiInstanceID = kInvalidIndex;
};

// Base of the stub interfaces with one object per process (ID 0).
// Construction records the object as the singleton of I; destruction removes
// the record. The last ReleaseRef leaves the singleton alive.
template <class I>
class CSingletonManager : public CClientRefCount
{
public:
    using InterfaceType = I;

    CSingletonManager()
    {
        CPointerResolver* pResolver = GetPointerResolverChecked(__FILE__, __LINE__);
        if (pResolver)
            pResolver->SetSingletonPtr(Common::GetClassId<I>(), this);
    }
    ~CSingletonManager() override
    {
        CPointerResolver* pResolver = GetPointerResolverChecked(__FILE__, __LINE__);
        if (pResolver)
            pResolver->ClearSingletonPtr(Common::GetClassId<I>(), this);
    }
};

// T is a remote class (a stub interface or a class implementing one).
template <class T>
concept RemoteObject = std::is_base_of_v<CClientRefCount, T> && requires { typename T::InterfaceType; };

template <class T>
concept RemoteObjectPointer = std::is_pointer_v<T> && RemoteObject<std::remove_cv_t<std::remove_pointer_t<T>>>;

// I is the stub interface of a singleton class.
template <class I>
inline constexpr bool kIsSingletonInterface = std::is_base_of_v<CSingletonManager<I>, I>;

template <class I>
I* CPointerResolver::GetPtr(uint32 uiId) const
{
    void* pStored = FindPtr(Common::GetClassId<I>(), uiId);
    I* pRes = pStored ? static_cast<I*>(static_cast<CInstanceManager<I>*>(pStored)) : nullptr;
    TARN_ASSERT(pRes != 0, "Cannot retreive instance ptr");
    return pRes;
}

template <class I>
uint32 CPointerResolver::GetID(const I* pObject) const
{
    const CInstanceManager<I>* pStored = pObject;
    const uint32 uiId = FindID(Common::GetClassId<I>(), pStored);
    TARN_ASSERT(uiId != (uint32)-1, "coudln't find ID in Map CPointerResolver");
    return uiId;
}

template <class I>
I* CPointerResolver::GetSingleton() const
{
    void* pStored = GetSingletonPtr(Common::GetClassId<I>());
    return pStored ? static_cast<I*>(static_cast<CSingletonManager<I>*>(pStored)) : nullptr;
}

// Reads the arguments of one request and writes its result.
//
// Arguments are read in declaration order from "Arg0", "Arg1", ...:
//   float, double         number (integer or real)
//   bool                  true or false
//   int32, uint32,
//   int64, uint64, enums  integer in the type's range
//   const char*           string, or null for ""; valid during the call
//   Math::Quaternion      {"x","y","z","w"} numbers, all required, not all
//                         zero; normalised on the way in
//   Math::LocalVector3    {"x","y","z"} numbers, all required
//   remote object T*      null, or {"InstanceID": integer} of T's interface
// Numbers of float type (float, the members of quaternions and vectors) must
// be finite floats, within +-3.4e38; strings must not hold NUL characters.
// A missing, mistyped or out-of-range argument is reported, recorded as the
// reader's failure, and the method is not called.
//
// While a method runs, its reader is the thread's current call
// (GetCurrentCall): a method that finds an argument outside its documented
// range refuses the call with TARN_REMOTE_CHECK, changes nothing, and the
// client gets the refusal's text as its error.
//
// The result is written only when the reader has a writer (the request asked
// for an acknowledgment), compactly, as {"Res": value} ({} for void):
// the forms above, a remote object as {"InstanceID": id} after one AddRef,
// a null object or string as null, a non-finite number as null.
class JSonParamReader
{
public:
    // The output stream the result is written into (a rapidjson stream).
    class RetWriter
    {
    public:
        using Ch = char;
        virtual ~RetWriter() = default;
        // Appends one character; returns the new length.
        virtual size_t Put(char cChar) = 0;
        virtual void Flush() = 0;
    };

    using ResultWriter = rapidjson::Writer<RetWriter, rapidjson::UTF8<>, rapidjson::UTF8<>, Common::CJsonAllocator>;

    static constexpr uint32 kFailureTextSize = 512;

    // kRequest is the request object (its "Arg%u" members are read);
    // pWriter is null when no result is wanted.
    JSonParamReader(const Common::JsonValue& kRequest, RetWriter* pWriter);
    JSonParamReader(const JSonParamReader&) = delete;
    JSonParamReader& operator=(const JSonParamReader&) = delete;

    RetWriter* GetWriter() const { return m_pWriter; }
    // Index of the next argument to read.
    uint32 GetArgIndex() const { return m_uiNextArg; }

    // Reads the next argument into kValue; false (reported, recorded) when
    // it is missing or of another form.
    template <class T>
    bool ReadArg(T& kValue)
    {
        char acName[16];
        const Common::JsonValue* pArg = NextArg(acName);
        return ReadValue(pArg, acName, kValue);
    }

    // Writes {"Res": value} when there is a writer.
    template <class R>
    void WriteResult(const R& kResult)
    {
        if (!m_pWriter)
            return;
        ResultWriter kWriter(*m_pWriter, &m_kStackAllocator);
        kWriter.StartObject();
        kWriter.Key("Res");
        WriteValue(kWriter, kResult);
        kWriter.EndObject();
    }
    // Writes {} when there is a writer.
    void WriteVoidResult();
    // Writes {"Error": pText} into kWriter.
    static void WriteError(RetWriter& kWriter, const char* pText);

    // Records "Assertion \"<expression>\" failed. <explanation>" as the
    // reader's failure (the first one is kept); reports nothing. Returns
    // false.
    bool NoteFailure(const char* pExpression, const char* pFormat, ...) TARN_PRINTF_FORMAT(3, 4);
    bool HasFailed() const { return m_acFailure[0] != 0; }
    const char* GetFailureText() const { return m_acFailure; }

    // The reader of the remote call running on the calling thread, or null.
    static JSonParamReader* GetCurrentCall();
    // Makes a reader the thread's current call for its lifetime.
    class CCallScope
    {
    public:
        explicit CCallScope(JSonParamReader& kReader);
        ~CCallScope();
        CCallScope(const CCallScope&) = delete;
        CCallScope& operator=(const CCallScope&) = delete;

    private:
        JSonParamReader* m_pPrevious;
    };

    // Value forms, public so that other marshalling code can reuse them.
    static void WriteValue(ResultWriter& kWriter, int32 iValue) { kWriter.Int(iValue); }
    static void WriteValue(ResultWriter& kWriter, uint32 uiValue) { kWriter.Uint(uiValue); }
    static void WriteValue(ResultWriter& kWriter, int64 iValue) { kWriter.Int64(iValue); }
    static void WriteValue(ResultWriter& kWriter, uint64 uiValue) { kWriter.Uint64(uiValue); }
    static void WriteValue(ResultWriter& kWriter, bool bValue) { kWriter.Bool(bValue); }
    static void WriteValue(ResultWriter& kWriter, double dValue);
    static void WriteValue(ResultWriter& kWriter, float fValue) { WriteValue(kWriter, static_cast<double>(fValue)); }
    static void WriteValue(ResultWriter& kWriter, const char* pText);
    static void WriteValue(ResultWriter& kWriter, const Math::Quaternion& kValue);
    static void WriteValue(ResultWriter& kWriter, const Math::LocalVector3& kValue);
    template <class E>
        requires std::is_enum_v<E>
    static void WriteValue(ResultWriter& kWriter, E eValue)
    {
        WriteValue(kWriter, static_cast<std::underlying_type_t<E>>(eValue));
    }
    // A remote object: {"InstanceID": id} after one AddRef; null as null.
    template <RemoteObjectPointer P>
    static void WriteValue(ResultWriter& kWriter, P pObject)
    {
        using I = typename std::remove_cv_t<std::remove_pointer_t<P>>::InterfaceType;
        if (!pObject)
        {
            kWriter.Null();
            return;
        }
        uint32 uiId = 0;
        if constexpr (!kIsSingletonInterface<I>)
        {
            CPointerResolver* pResolver = GetPointerResolverChecked(__FILE__, __LINE__);
            uiId = pResolver ? pResolver->GetID<I>(static_cast<const I*>(pObject)) : kInvalidIndex;
        }
        const_cast<std::remove_cv_t<std::remove_pointer_t<P>>*>(pObject)->AddRef();
        kWriter.StartObject();
        kWriter.Key("InstanceID");
        kWriter.Uint(uiId);
        kWriter.EndObject();
    }

private:
    // The member "Arg<n>" (null when absent); advances the counter.
    const Common::JsonValue* NextArg(char (&acName)[16]);

    bool ReadValue(const Common::JsonValue* pArg, const char* pName, float& fValue);
    bool ReadValue(const Common::JsonValue* pArg, const char* pName, double& dValue);
    bool ReadValue(const Common::JsonValue* pArg, const char* pName, bool& bValue);
    bool ReadValue(const Common::JsonValue* pArg, const char* pName, int32& iValue);
    bool ReadValue(const Common::JsonValue* pArg, const char* pName, uint32& uiValue);
    bool ReadValue(const Common::JsonValue* pArg, const char* pName, int64& iValue);
    bool ReadValue(const Common::JsonValue* pArg, const char* pName, uint64& uiValue);
    bool ReadValue(const Common::JsonValue* pArg, const char* pName, const char*& pText);
    bool ReadValue(const Common::JsonValue* pArg, const char* pName, Math::Quaternion& kValue);
    bool ReadValue(const Common::JsonValue* pArg, const char* pName, Math::LocalVector3& kValue);
    template <class E>
        requires std::is_enum_v<E>
    bool ReadValue(const Common::JsonValue* pArg, const char* pName, E& eValue)
    {
        using U = std::underlying_type_t<E>;
        using Wide = std::conditional_t<std::is_signed_v<U>, int64, uint64>;
        Wide kWide = 0;
        if (!ReadValue(pArg, pName, kWide))
            return false;
        if (!(kWide >= static_cast<Wide>(std::numeric_limits<U>::min()) &&
              kWide <= static_cast<Wide>(std::numeric_limits<U>::max())))
            return Reject(pName, "an integer in the enumeration's range");
        eValue = static_cast<E>(static_cast<U>(kWide));
        return true;
    }
    template <RemoteObjectPointer P>
    bool ReadValue(const Common::JsonValue* pArg, const char* pName, P& pObject)
    {
        using T = std::remove_cv_t<std::remove_pointer_t<P>>;
        using I = typename T::InterfaceType;
        pObject = nullptr;
        uint32 uiId = 0;
        bool bNull = false;
        if (!ReadObjectReference(pArg, pName, uiId, bNull))
            return false;
        if (bNull)
            return true;
        CPointerResolver* pResolver = GetPointerResolverChecked(__FILE__, __LINE__);
        if (!pResolver)
            return NoteFailure("CPointerResolver::GetInstance()", "Instance ptr should be set (plugin?)");
        I* pInterface = nullptr;
        if constexpr (kIsSingletonInterface<I>)
        {
            pInterface = pResolver->GetSingleton<I>();
            if (!TARN_ASSERT(pInterface, "Couldn't retrieve singleton pointer for %s", pName))
                return NoteFailure("pInterface", "Couldn't retrieve singleton pointer for %s", pName);
        }
        else
        {
            pInterface = pResolver->GetPtr<I>(uiId);
            if (!pInterface)
                return NoteFailure("pRes != 0", "Cannot retreive instance ptr");
        }
        pObject = static_cast<T*>(pInterface);
        return true;
    }

    // {"InstanceID": integer} or null.
    bool ReadObjectReference(const Common::JsonValue* pArg, const char* pName, uint32& uiId, bool& bNull);
    // Reports and records that pName is not of the expected form.
    bool Reject(const char* pName, const char* pExpected);

    const Common::JsonValue& m_kRequest;
    RetWriter* m_pWriter;
    Common::CJsonAllocator m_kStackAllocator;
    uint32 m_uiNextArg = 0;
    char m_acFailure[kFailureTextSize] = {};
};

// Reports "Assertion \"<expression>\" failed. <explanation>" and, when a
// remote call runs on the calling thread, fails that call with the same
// text (its reply is {"Error": text}). The caller then changes nothing.
// Returns false.
bool RefuseRemoteCall(const char* pFile, int iLine, const char* pExpression, const char* pFormat, ...)
    TARN_PRINTF_FORMAT(4, 5);

// Arguments given as one space-separated text (commands run from the engine's
// own code or console). A float or double argument takes the next token
// converted by atof, a string argument takes the token itself; any other type
// is reported ("unknown paremeter type !"). Tokens are cut in place.
class CTextArgReader
{
public:
    explicit CTextArgReader(char* pText) : m_pCursor(pText) {}

    template <class T>
    bool ReadArg(T& kValue)
    {
        if constexpr (std::is_same_v<T, float> || std::is_same_v<T, double> || std::is_same_v<T, const char*>)
        {
            const char* pToken = NextToken();
            if (!TARN_ASSERT(pToken, "missing text argument"))
                return false;
            if constexpr (std::is_same_v<T, const char*>)
                kValue = pToken;
            else
                kValue = static_cast<T>(atof(pToken));
            return true;
        }
        else
        {
            (void)kValue;
            TARN_ASSERT(false, "unknown paremeter type !");
            return false;
        }
    }

private:
    // The next space-separated token, terminated in place; null at the end.
    const char* NextToken();
    char* m_pCursor;
};

// The target of a command: the object of uiId, or the singleton of a
// singleton interface. Reported when missing, and noted on pReader.
template <class I>
I* ResolveCommandTarget(uint32 uiId, JSonParamReader* pReader)
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

}  // namespace TarnEngine
