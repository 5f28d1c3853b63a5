#pragma once

#include <cstddef>
#include <initializer_list>
#include <limits>
#include <optional>
#include <type_traits>

#include <rapidjson/writer.h>

#include "Commands/PointerResolver.h"
#include "Commands/RemoteObject.h"
#include "Commands/SingletonManager.h"
#include "Core/Types.h"
#include "Math/LocalVector3.h"
#include "Math/Quaternion.h"
#include "Utils/InputErrors.h"
#include "Utils/JsonAllocator.h"
#include "Utils/JsonDocument.h"
#include "Utils/assertion.h"

// A remote method's check of its own arguments: true when cond holds, else
// the call is refused (RefuseRemoteCall) and false, so methods write
//   if (!TARN_REMOTE_CHECK(fSpeed >= 0.0f, "Arg0", "argument Arg0 must be ...")) return;
#define TARN_REMOTE_CHECK(cond, exprText, ...)                                                                         \
    (static_cast<bool>(cond) ? true : ::TarnEngine::RefuseRemoteCall(__FILE__, __LINE__, exprText, __VA_ARGS__))

namespace TarnEngine {

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
//   std::optional<T>      T's form, or absent or null for no value (an
//                         argument the method may do without)
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
// a null object or string as null, a non-finite number as null, and a
// result type with a WriteJson(ResultWriter&) member as it writes itself.
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

    // Room of a failure's text, cut to fit.
    static constexpr uint32 kFailureTextSize = 512;
    // What the failures of a request name as their source.
    static constexpr const char* kRequestSource = "remote request";

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
    template <class T> bool ReadArg(T& kValue)
    {
        char acName[16];
        const Common::JsonValue* pArg = NextArg(acName);
        return ReadValue(pArg, acName, kValue);
    }

    // Writes {"Res": value} when there is a writer.
    template <class R> void WriteResult(const R& kResult)
    {
        if (!m_pWriter)
            return;
        // The envelope is written as text around the value, which the JSON
        // writer writes as its root: a number, bool or string then needs no
        // nesting stack, which the writer would allocate for every call.
        for (const char cChar : {'{', '"', 'R', 'e', 's', '"', ':'})
            m_pWriter->Put(cChar);
        {
            ResultWriter kWriter(*m_pWriter, &m_kStackAllocator);
            WriteValue(kWriter, kResult);
        }
        m_pWriter->Put('}');
    }
    // Writes {} when there is a writer.
    void WriteVoidResult();
    // Writes {"Error": pText} into kWriter.
    static void WriteError(RetWriter& kWriter, const char* pText);

    // Records the expression as the failing member and the explanation as
    // its problem (the first failure is kept, the others only counted);
    // reports nothing. Returns false.
    bool NoteFailure(const char* pExpression, const char* pFormat, ...) TARN_PRINTF_FORMAT(3, 4);
    // Fails the call with the problems of an input the method read for it
    // (a file the request names): the reply's text is kErrors' own, in the
    // form it was made in, e.g. "<file>: <member>: <problem>". Reports
    // nothing (the input's reader logs its problems). A failure noted
    // before stays the one the reply gives. Returns false.
    bool NoteInputFailure(const Common::CInputErrors& kErrors);
    bool HasFailed() const { return !m_kFailures.IsEmpty(); }
    // The first failure as the reply carries it: "Assertion \"<expression>\"
    // failed. <explanation>".
    const char* GetFailureText() const { return m_kFailures.GetText(); }

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
    // A result that writes itself (a list, a record of several members).
    template <class T>
    requires requires(const T& kValue, ResultWriter& kOut) { kValue.WriteJson(kOut); }
    static void WriteValue(ResultWriter& kWriter, const T& kValue) { kValue.WriteJson(kWriter); }
    // A remote object: {"InstanceID": id} after one AddRef; null as null.
    template <RemoteObjectPointer P> static void WriteValue(ResultWriter& kWriter, P pObject)
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
    template <RemoteObjectPointer P> bool ReadValue(const Common::JsonValue* pArg, const char* pName, P& pObject)
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

    // An argument the method may do without: absent or null gives no value.
    template <class T> bool ReadValue(const Common::JsonValue* pArg, const char* pName, std::optional<T>& kValue)
    {
        kValue.reset();
        if (!pArg || pArg->IsNull())
            return true;
        T kRead{};
        if (!ReadValue(pArg, pName, kRead))
            return false;
        kValue = kRead;
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
    Common::CInputErrors m_kFailures;
};

// Reports "Assertion \"<expression>\" failed. <explanation>" and, when a
// remote call runs on the calling thread, fails that call with the same
// text (its reply is {"Error": text}). The caller then changes nothing.
// Returns false.
bool RefuseRemoteCall(const char* pFile, int iLine, const char* pExpression, const char* pFormat, ...)
    TARN_PRINTF_FORMAT(4, 5);

// Fails the remote call running on the calling thread, if any, with the
// problems of an input the method read for it (see
// JSonParamReader::NoteInputFailure); reports nothing. Returns false.
bool RefuseRemoteInput(const Common::CInputErrors& kErrors);

}  // namespace TarnEngine
