#pragma once

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
//
// The parts, each in its own header:
//   ClientRefCount.h    CClientRefCount, the clients' reference count
//   PointerResolver.h   CPointerResolver and GetPointerResolverChecked
//   InstanceManager.h   CInstanceManager<I>, base of many-object interfaces
//   SingletonManager.h  CSingletonManager<I> and kIsSingletonInterface
//   RemoteObject.h      the RemoteObject and RemoteObjectPointer concepts
//   ParamReader.h       JSonParamReader, RefuseRemoteCall, TARN_REMOTE_CHECK
//   TextArgReader.h     CTextArgReader, arguments from a text
//   EngineCommand.h     ResolveCommandTarget and the engine commands
// This header includes them all.

#include "Commands/ClientRefCount.h"
#include "Commands/EngineCommand.h"
#include "Commands/InstanceManager.h"
#include "Commands/ParamReader.h"
#include "Commands/PointerResolver.h"
#include "Commands/RemoteObject.h"
#include "Commands/SingletonManager.h"
#include "Commands/TextArgReader.h"
