// The COM library calls: apartments, class objects and activation.
//
// Only the multithreaded apartment exists. CoCreateInstance finds class
// objects that this process registered; for a local server that lives in
// another process it asks the activation hook, which the object transport
// installs (without one, such a class is not registered here).
#pragma once

#include "platform/com/interfaces.h"

// Per-thread counters: the first call on a thread answers S_OK, later ones
// S_FALSE; every successful call wants one CoUninitialize. A request for a
// single-threaded apartment is refused with E_INVALIDARG.
HRESULT CoInitializeEx(LPVOID reserved, DWORD coInit);
void CoUninitialize();

// Class objects: REGCLS_MULTIPLEUSE (single use is not offered); with
// REGCLS_SUSPENDED the object stays invisible until CoResumeClassObjects.
// Suspending and resuming act on every registered object together.
HRESULT CoRegisterClassObject(REFCLSID clsid, IUnknown* classObject, DWORD clsContext,
                              DWORD flags, LPDWORD cookie);
HRESULT CoRevokeClassObject(DWORD cookie);
HRESULT CoResumeClassObjects();
HRESULT CoSuspendClassObjects();

HRESULT CoGetClassObject(REFCLSID clsid, DWORD clsContext, LPVOID reserved, REFIID riid,
                         LPVOID* ppv);
// Aggregation is not offered: a non-null outer gives CLASS_E_NOAGGREGATION.
HRESULT CoCreateInstance(REFCLSID clsid, LPUNKNOWN outer, DWORD clsContext, REFIID riid,
                         LPVOID* ppv);

// Objects of this runtime are running once they exist; OleRun only checks
// its argument.
HRESULT OleRun(LPUNKNOWN object);

// ProgID lookups through the registry (HKEY_CLASSES_ROOT): the text of
// ProgIDFromCLSID comes from CoTaskMemAlloc. An unknown class gives
// REGDB_E_CLASSNOTREG, an unknown ProgID CO_E_CLASSSTRING.
HRESULT ProgIDFromCLSID(REFCLSID clsid, LPOLESTR* progId);
HRESULT CLSIDFromProgID(LPCOLESTR progId, LPCLSID clsid);

namespace orvcom {

// What the object transport plugs in. Every callback may come from any
// thread; none is called with a runtime lock held.
class LocalServerHook {
 public:
  enum class ClassState { kRegistered, kResumed, kSuspended, kRevoked };

  // Client side: a class object of another process, for CoGetClassObject
  // and CoCreateInstance when the context asks for a local server and no
  // class object of this process answers. REGDB_E_CLASSNOTREG when the
  // class is unknown.
  virtual HRESULT GetClassObject(REFCLSID clsid, DWORD clsContext, REFIID riid, void** ppv) = 0;
  // Server side: a class object registered with CLSCTX_LOCAL_SERVER changed
  // state; kResumed means activation requests may now reach it,
  // kSuspended that they must not, kRevoked that it is gone (the hook drops
  // its reference to classObject before returning).
  virtual void ClassObjectChanged(REFCLSID clsid, IUnknown* classObject, ClassState state) = 0;

 protected:
  ~LocalServerHook() = default;
};

// Installs (or with null removes) the hook; answers the previous one.
LocalServerHook* SetLocalServerHook(LocalServerHook* hook);

// Whether the calling thread has joined the apartment.
bool IsComInitialized();

}  // namespace orvcom
