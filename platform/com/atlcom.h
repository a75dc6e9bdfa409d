// The object templates the system's classes are written with: object
// root, COM map, CComObject, CComCoClass with its Error helper,
// IDispatchImpl over a generated table, connection points, class
// factories, the object map and the exe module, and the event sink helper
// of automation clients.
#pragma once

#include <atomic>
#include <climits>
#include <new>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "platform/com/atlbase.h"
#include "platform/com/dispatch.h"
#include "platform/com/runtime.h"

class CComModule;
// The module of the process (set by its constructor); objects lock it for
// their lifetime. Null in programs without a module (clients).
extern CComModule* _pAtlModule;

namespace orvcom {
LONG ModuleLock();
LONG ModuleUnlock();
}  // namespace orvcom

// Objects of this runtime always live in the multithreaded apartment; the
// model names the choice the classes make.
class CComMultiThreadModel {};

// ---- Object root ------------------------------------------------------------

struct _ATL_INTMAP_ENTRY {
  const IID* piid;  // null ends the map
  IUnknown* (*cast)(void* object);
};

class CComObjectRootBase {
 public:
  // The first entry answers IID_IUnknown, so identity holds.
  static HRESULT InternalQueryInterface(void* object, const _ATL_INTMAP_ENTRY* entries,
                                        REFIID iid, void** ppv);
  HRESULT FinalConstruct() { return S_OK; }
  void FinalRelease() {}
  static void ObjectMain(bool /*starting*/) {}
  void InternalFinalConstructAddRef() {}
  void InternalFinalConstructRelease() {}
};

template <class ThreadModel>
class CComObjectRootEx : public CComObjectRootBase {
 public:
  CComObjectRootEx() : m_dwRef(0) { InitializeCriticalSection(&m_critsec); }
  ~CComObjectRootEx() { DeleteCriticalSection(&m_critsec); }
  CComObjectRootEx(const CComObjectRootEx&) = delete;
  CComObjectRootEx& operator=(const CComObjectRootEx&) = delete;

  ULONG InternalAddRef() { return ULONG(++m_dwRef); }
  ULONG InternalRelease() { return ULONG(--m_dwRef); }
  // Re-entrant: a thread holding the lock may take it again.
  void Lock() { EnterCriticalSection(&m_critsec); }
  void Unlock() { LeaveCriticalSection(&m_critsec); }

  class ObjectLock {
   public:
    explicit ObjectLock(CComObjectRootEx* object) : object_(object) { object_->Lock(); }
    ~ObjectLock() { object_->Unlock(); }
    ObjectLock(const ObjectLock&) = delete;
    ObjectLock& operator=(const ObjectLock&) = delete;

   private:
    CComObjectRootEx* object_;
  };

  std::atomic<LONG> m_dwRef;

 private:
  CRITICAL_SECTION m_critsec;
};

#define BEGIN_COM_MAP(x)                                                               \
 public:                                                                               \
  typedef x _ComMapClass;                                                              \
  IUnknown* GetUnknown() { return _GetEntries()[0].cast(this); }                       \
  HRESULT _InternalQueryInterface(REFIID iid, void** ppv) {                            \
    return InternalQueryInterface(this, _GetEntries(), iid, ppv);                      \
  }                                                                                    \
  static const _ATL_INTMAP_ENTRY* _GetEntries() {                                      \
    static const _ATL_INTMAP_ENTRY _entries[] = {
#define COM_INTERFACE_ENTRY(x)                                                 \
  {&__uuidof(x), [](void* p) -> IUnknown* {                                    \
     return static_cast<x*>(static_cast<_ComMapClass*>(p));                    \
   }},
// x reached through the base x2, where x is ambiguous otherwise.
#define COM_INTERFACE_ENTRY2(x, x2)                                            \
  {&__uuidof(x), [](void* p) -> IUnknown* {                                    \
     return static_cast<x*>(static_cast<x2*>(static_cast<_ComMapClass*>(p)));  \
   }},
#define COM_INTERFACE_ENTRY_IID(iid, x)                                        \
  {&iid, [](void* p) -> IUnknown* {                                            \
     return static_cast<x*>(static_cast<_ComMapClass*>(p));                    \
   }},
#define END_COM_MAP()        \
  {nullptr, nullptr}         \
  }                          \
  ;                          \
  return _entries;           \
  }

// Aggregation is never offered; the macros keep class declarations whole.
#define DECLARE_NOT_AGGREGATABLE(x)
#define DECLARE_PROTECT_FINAL_CONSTRUCT()

// ---- CComObject -------------------------------------------------------------

// The concrete object: counts references, locks the module for its
// lifetime, and runs FinalRelease before the class's destructor.
template <class Base>
class CComObject final : public Base {
 public:
  CComObject() { orvcom::ModuleLock(); }
  ~CComObject() {
    // Guards against a resurrecting AddRef/Release pair in FinalRelease.
    this->m_dwRef = -(INT32_MAX / 2);
    this->FinalRelease();
    orvcom::ModuleUnlock();
  }
  STDMETHOD_(ULONG, AddRef)() override { return this->InternalAddRef(); }
  STDMETHOD_(ULONG, Release)() override {
    ULONG count = this->InternalRelease();
    if (count == 0) delete this;
    return count;
  }
  STDMETHOD(QueryInterface)(REFIID iid, void** ppv) override {
    return this->_InternalQueryInterface(iid, ppv);
  }
  template <class Q>
  HRESULT QueryInterface(Q** pp) {
    return QueryInterface(__uuidof(Q), reinterpret_cast<void**>(pp));
  }

  // The object comes with no reference: the caller's first QueryInterface
  // or AddRef takes it. A failing FinalConstruct destroys it and answers
  // its error with *pp null.
  static HRESULT CreateInstance(CComObject** pp) {
    if (!pp) return E_POINTER;
    *pp = nullptr;
    CComObject* p = new (std::nothrow) CComObject();
    if (!p) return E_OUTOFMEMORY;
    p->InternalFinalConstructAddRef();
    HRESULT hr = p->FinalConstruct();
    p->InternalFinalConstructRelease();
    if (FAILED(hr)) {
      delete p;
      return hr;
    }
    *pp = p;
    return hr;
  }
};

// As CComObject, but leaves the module's lock count alone (class objects:
// a registered class object must not keep its server running).
template <class Base>
class CComObjectNoLock final : public Base {
 public:
  ~CComObjectNoLock() {
    this->m_dwRef = -(INT32_MAX / 2);
    this->FinalRelease();
  }
  STDMETHOD_(ULONG, AddRef)() override { return this->InternalAddRef(); }
  STDMETHOD_(ULONG, Release)() override {
    ULONG count = this->InternalRelease();
    if (count == 0) delete this;
    return count;
  }
  STDMETHOD(QueryInterface)(REFIID iid, void** ppv) override {
    return this->_InternalQueryInterface(iid, ppv);
  }
};

// Makes a T (a CComObject) and asks it for riid.
template <class T>
class CComCreator {
 public:
  static HRESULT CreateInstance(REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    T* p = nullptr;
    HRESULT hr = T::CreateInstance(&p);
    if (FAILED(hr)) return hr;
    p->AddRef();
    hr = p->QueryInterface(riid, ppv);
    p->Release();
    return hr;
  }
};

// ---- Error information ------------------------------------------------------

// Sets the thread's error information: the description, the interface,
// and as its source the ProgID that the registry holds for clsid (none
// when the class is not registered). Answers hr, or DISP_E_EXCEPTION when
// hr is 0.
HRESULT AtlReportError(REFCLSID clsid, LPCOLESTR description, REFIID iid = GUID_NULL,
                       HRESULT hr = 0);
HRESULT AtlReportError(REFCLSID clsid, LPCSTR description, REFIID iid = GUID_NULL,
                       HRESULT hr = 0);

template <class T, const CLSID* pclsid>
class CComCoClass {
 public:
  static const CLSID& GetObjectCLSID() { return *pclsid; }
  static HRESULT Error(LPCOLESTR description, REFIID iid = GUID_NULL, HRESULT hr = 0) {
    return AtlReportError(GetObjectCLSID(), description, iid, hr);
  }
  static HRESULT Error(LPCSTR description, REFIID iid = GUID_NULL, HRESULT hr = 0) {
    return AtlReportError(GetObjectCLSID(), description, iid, hr);
  }
};

// ---- IDispatchImpl ----------------------------------------------------------

// IDispatch for a dual interface T from its generated table. There is no
// type information object: GetTypeInfoCount answers 0.
template <class T, const IID* piid = nullptr, const GUID* plibid = nullptr, WORD major = 1,
          WORD minor = 0>
class IDispatchImpl : public T {
 public:
  STDMETHOD(GetTypeInfoCount)(UINT* pctinfo) override {
    if (!pctinfo) return E_POINTER;
    *pctinfo = 0;
    return S_OK;
  }
  STDMETHOD(GetTypeInfo)(UINT, LCID, ITypeInfo** ppTInfo) override {
    if (ppTInfo) *ppTInfo = nullptr;
    return E_NOTIMPL;
  }
  STDMETHOD(GetIDsOfNames)(REFIID riid, LPOLESTR* names, UINT count, LCID,
                           DISPID* ids) override {
    return orvcom::TableGetIDsOfNames(orvcom::InterfaceInfoOf<T>::Get(), riid, names, count,
                                      ids);
  }
  STDMETHOD(Invoke)(DISPID dispid, REFIID riid, LCID, WORD flags, DISPPARAMS* params,
                    VARIANT* result, EXCEPINFO* excepInfo, UINT* argErr) override {
    T* itf = this;
    return orvcom::TableInvoke(orvcom::InterfaceInfoOf<T>::Get(), itf, itf, dispid, riid, flags,
                               params, result, excepInfo, argErr);
  }
};

// ---- Connection points --------------------------------------------------------

// The sinks of one connection point: slots that are empty or hold one
// sink. Advise takes the first empty slot; the cookie is the slot's
// position + 1, so the same sink advised twice has two slots.
class CComDynamicUnkArray {
 public:
  DWORD Add(IUnknown* sink);
  // Empties the slot and hands its reference to the caller; null when
  // the cookie names no occupied slot.
  IUnknown* Take(DWORD cookie);
  int GetSize() const { return int(slots_.size()); }
  IUnknown* GetAt(int i) const { return (i >= 0 && i < GetSize()) ? slots_[size_t(i)] : nullptr; }

 private:
  std::vector<IUnknown*> slots_;
};

// One connection point of T (which has the object root's Lock). The sink
// list is m_vec, changed under T's lock; event code reads it as
//   int n = m_vec.GetSize(); for i < n: Lock, take GetAt(i), Unlock, call.
// The point shares T's reference count and answers only IConnectionPoint.
template <class T, const IID* piid, class CDV = CComDynamicUnkArray>
class IConnectionPointImpl {
 public:
  IConnectionPointImpl() : m_point(this) {}
  ~IConnectionPointImpl() {
    for (int i = 0; i < m_vec.GetSize(); ++i) {
      if (IUnknown* sink = m_vec.Take(DWORD(i + 1))) sink->Release();
    }
  }
  IConnectionPointImpl(const IConnectionPointImpl&) = delete;
  IConnectionPointImpl& operator=(const IConnectionPointImpl&) = delete;

  IConnectionPoint* GetConnectionPoint() { return &m_point; }

  CDV m_vec;

 private:
  class Point : public IConnectionPoint {
   public:
    explicit Point(IConnectionPointImpl* owner) : owner_(owner) {}
    STDMETHOD(QueryInterface)(REFIID riid, void** ppv) override {
      if (!ppv) return E_POINTER;
      if (riid == IID_IUnknown || riid == IID_IConnectionPoint) {
        *ppv = static_cast<IConnectionPoint*>(this);
        AddRef();
        return S_OK;
      }
      *ppv = nullptr;
      return E_NOINTERFACE;
    }
    STDMETHOD_(ULONG, AddRef)() override { return Object()->GetUnknown()->AddRef(); }
    STDMETHOD_(ULONG, Release)() override { return Object()->GetUnknown()->Release(); }
    STDMETHOD(GetConnectionInterface)(IID* pIID) override {
      if (!pIID) return E_POINTER;
      *pIID = *piid;
      return S_OK;
    }
    STDMETHOD(GetConnectionPointContainer)(IConnectionPointContainer** ppCPC) override {
      if (!ppCPC) return E_POINTER;
      return Object()->GetUnknown()->QueryInterface(IID_IConnectionPointContainer,
                                                    reinterpret_cast<void**>(ppCPC));
    }
    STDMETHOD(Advise)(IUnknown* sink, DWORD* cookie) override {
      if (!cookie) return E_POINTER;
      *cookie = 0;
      if (!sink) return E_POINTER;
      IUnknown* events = nullptr;
      if (FAILED(sink->QueryInterface(*piid, reinterpret_cast<void**>(&events))) || !events)
        return CONNECT_E_CANNOTCONNECT;
      T* object = Object();
      object->Lock();
      DWORD c = owner_->m_vec.Add(events);
      object->Unlock();
      if (c == 0) {
        events->Release();
        return CONNECT_E_ADVISELIMIT;
      }
      *cookie = c;
      return S_OK;
    }
    STDMETHOD(Unadvise)(DWORD cookie) override {
      T* object = Object();
      object->Lock();
      IUnknown* sink = owner_->m_vec.Take(cookie);
      object->Unlock();
      if (!sink) return CONNECT_E_NOCONNECTION;
      sink->Release();  // outside the lock: a sink's release may call back
      return S_OK;
    }
    STDMETHOD(EnumConnections)(IEnumConnections** ppEnum) override {
      if (ppEnum) *ppEnum = nullptr;
      return E_NOTIMPL;
    }

   private:
    T* Object() { return static_cast<T*>(owner_); }
    IConnectionPointImpl* owner_;
  };

  Point m_point;
};

namespace orvcom {
template <class T>
struct ConnectionPointEntry {
  const IID* piid;  // null ends the map
  IConnectionPoint* (*get)(T* object);
};
}  // namespace orvcom

template <class T>
class IConnectionPointContainerImpl : public IConnectionPointContainer {
 public:
  STDMETHOD(EnumConnectionPoints)(IEnumConnectionPoints** ppEnum) override {
    if (ppEnum) *ppEnum = nullptr;
    return E_NOTIMPL;
  }
  STDMETHOD(FindConnectionPoint)(REFIID riid, IConnectionPoint** ppCP) override {
    if (!ppCP) return E_POINTER;
    *ppCP = nullptr;
    for (const orvcom::ConnectionPointEntry<T>* e = T::GetConnMap(); e->piid; ++e) {
      if (*e->piid == riid) {
        IConnectionPoint* point = e->get(static_cast<T*>(this));
        point->AddRef();
        *ppCP = point;
        return S_OK;
      }
    }
    return CONNECT_E_NOCONNECTION;
  }
};

#define BEGIN_CONNECTION_POINT_MAP(x)                                        \
  typedef x _CPMapClass;                                                     \
  static const ::orvcom::ConnectionPointEntry<x>* GetConnMap() {             \
    static const ::orvcom::ConnectionPointEntry<x> _entries[] = {
#define CONNECTION_POINT_ENTRY(iid)                                          \
  {&iid, [](_CPMapClass* p) -> IConnectionPoint* {                           \
     return static_cast<IConnectionPointImpl<_CPMapClass, &iid>*>(p)         \
         ->GetConnectionPoint();                                             \
   }},
#define END_CONNECTION_POINT_MAP() \
  {nullptr, nullptr}               \
  }                                \
  ;                                \
  return _entries;                 \
  }

// ---- Class objects, object map, module ------------------------------------------

class CComClassFactory : public IClassFactory, public CComObjectRootEx<CComMultiThreadModel> {
 public:
  BEGIN_COM_MAP(CComClassFactory)
  COM_INTERFACE_ENTRY(IClassFactory)
  END_COM_MAP()

  STDMETHOD(CreateInstance)(IUnknown* outer, REFIID riid, void** ppv) override;
  STDMETHOD(LockServer)(BOOL lock) override;

  HRESULT (*m_pfnCreateInstance)(REFIID riid, void** ppv) = nullptr;
};

struct _ATL_OBJMAP_ENTRY {
  const CLSID* pclsid;  // null ends the map
  HRESULT (*pfnUpdateRegistry)(BOOL registering);
  HRESULT (*pfnCreateInstance)(REFIID riid, void** ppv);  // null: no class object
  void (*pfnObjectMain)(bool starting);
  IUnknown* pCF;      // the class object while registered
  DWORD dwRegister;  // its registration cookie
};

#define BEGIN_OBJECT_MAP(x) static _ATL_OBJMAP_ENTRY x[] = {
#define OBJECT_ENTRY(clsid, class)                                                   \
  {&clsid, &class ::UpdateRegistry, &CComCreator<CComObject<class>>::CreateInstance, \
   &class ::ObjectMain, nullptr, 0},
#define OBJECT_ENTRY_NON_CREATEABLE(class) \
  {&CLSID_NULL, &class ::UpdateRegistry, nullptr, &class ::ObjectMain, nullptr, 0},
#define END_OBJECT_MAP() \
  { nullptr, nullptr, nullptr, nullptr, nullptr, 0 } \
  }                                                  \
  ;

// A class's registry script, by resource number (see the module's
// UpdateRegistryFromResource).
#define DECLARE_REGISTRY_RESOURCEID(id)                          \
  static HRESULT UpdateRegistry(BOOL registering) {              \
    return ::orvcom::UpdateRegistryFromResource(id, registering); \
  }
#define DECLARE_NO_REGISTRY() \
  static HRESULT UpdateRegistry(BOOL) { return S_OK; }

namespace orvcom {
// Runs one compiled registry script: registering creates its keys and
// values (%MODULE% is the program's absolute path); unregistering removes
// what it created, keeping keys marked NoRemove and keys that still hold
// sub-keys it does not name. Unknown resource: an HRESULT of
// ERROR_RESOURCE_NAME_NOT_FOUND.
HRESULT UpdateRegistryFromResource(UINT resourceId, BOOL registering);
// The type library's keys (TypeLib\{libid}\major.minor and the interface
// keys of its interfaces).
HRESULT RegisterTypeLib(REFGUID libid);
HRESULT UnRegisterTypeLib(REFGUID libid);
// The program's absolute path, as %MODULE% and LocalServer32 hold it.
std::string ModulePath();
}  // namespace orvcom

// The module of an out-of-process server. Lock and Unlock are virtual so
// that a program's module (which watches the count for its shut-down) sees
// every object's lock.
class CComModule {
 public:
  CComModule();
  virtual ~CComModule();
  CComModule(const CComModule&) = delete;
  CComModule& operator=(const CComModule&) = delete;

  // Runs the ObjectMain(true) hook of every map entry.
  HRESULT Init(_ATL_OBJMAP_ENTRY* objectMap, HINSTANCE instance, const GUID* libid = nullptr);
  // Revokes what is still registered and runs every ObjectMain(false).
  void Term();

  virtual LONG Lock();
  virtual LONG Unlock();
  LONG GetLockCount() const { return m_nLockCnt; }

  // Registers a class object for every creatable map entry; with
  // REGCLS_SUSPENDED they wait for CoResumeClassObjects.
  HRESULT RegisterClassObjects(DWORD clsContext, DWORD flags);
  HRESULT RevokeClassObjects();

  // Every map entry's script, then the type library when asked.
  HRESULT RegisterServer(BOOL registerTypeLib = FALSE, const CLSID* clsid = nullptr);
  HRESULT UnregisterServer(BOOL unregisterTypeLib = FALSE, const CLSID* clsid = nullptr);
  HRESULT UpdateRegistryFromResource(UINT resourceId, BOOL registering) {
    return orvcom::UpdateRegistryFromResource(resourceId, registering);
  }
  HRESULT RegisterTypeLib();
  HRESULT UnRegisterTypeLib();

  HINSTANCE GetModuleInstance() const { return m_hInst; }

  std::atomic<LONG> m_nLockCnt;
  _ATL_OBJMAP_ENTRY* m_pObjMap = nullptr;
  const GUID* m_pLibID = nullptr;
  HINSTANCE m_hInst = nullptr;
};

// ---- Client event sinks -------------------------------------------------------------

namespace orvcom {

template <class T>
struct SinkEntry {
  UINT id;
  const IID* piid;  // null ends the map
  DISPID dispid;
  HRESULT (*call)(T* object, DISPPARAMS* params, UINT* argErr);
};

template <class A>
HRESULT SinkArg(Args& args, UINT pos, A* value) {
  using V = std::remove_cv_t<A>;
  if constexpr (std::is_same_v<V, BSTR>) {
    return args.InBstr(pos, value);
  } else if constexpr (std::is_same_v<V, IDispatch*>) {
    return args.InItf(pos, IID_IDispatch, reinterpret_cast<void**>(value));
  } else if constexpr (std::is_same_v<V, IUnknown*>) {
    return args.InItf(pos, IID_IUnknown, reinterpret_cast<void**>(value));
  } else if constexpr (std::is_enum_v<V>) {
    LONG v = 0;
    HRESULT hr = args.InI4(pos, &v);
    *value = static_cast<V>(v);
    return hr;
  } else if constexpr (std::is_same_v<V, LONG> || std::is_same_v<V, int>) {
    LONG v = 0;
    HRESULT hr = args.InI4(pos, &v);
    *value = v;
    return hr;
  } else if constexpr (std::is_same_v<V, SHORT>) {
    return args.InI2(pos, value);
  } else if constexpr (std::is_same_v<V, FLOAT>) {
    return args.InR4(pos, value);
  } else if constexpr (std::is_same_v<V, DOUBLE>) {
    return args.InR8(pos, value);
  } else {
    static_assert(sizeof(A) == 0, "event handler parameter type not supported");
    return E_NOTIMPL;
  }
}

template <class T, class C, class... A, size_t... I>
HRESULT CallSinkImpl(T* object, HRESULT (C::*handler)(A...), DISPPARAMS* params, UINT* argErr,
                     std::index_sequence<I...>) {
  Args args(params, argErr);
  HRESULT hr = args.Expect(UINT(sizeof...(A)));
  if (FAILED(hr)) return hr;
  std::tuple<std::remove_cv_t<A>...> values{};
  (void)values;
  HRESULT results[] = {S_OK, SinkArg<A>(args, UINT(I), &std::get<I>(values))...};
  for (HRESULT r : results)
    if (FAILED(r)) return r;
  return (object->*handler)(std::get<I>(values)...);
}

// Calls a handler with the event's arguments converted to its parameter
// types: BSTR, IDispatch*, IUnknown*, LONG, SHORT, FLOAT, DOUBLE, enums.
template <class T, class C, class... A>
HRESULT CallSink(T* object, HRESULT (C::*handler)(A...), DISPPARAMS* params, UINT* argErr) {
  return CallSinkImpl(object, handler, params, argErr, std::index_sequence_for<A...>{});
}

}  // namespace orvcom

#define BEGIN_SINK_MAP(x)                                              \
  typedef x _atl_event_classtype;                                      \
  static const ::orvcom::SinkEntry<x>* _GetSinkMap() {                 \
    static const ::orvcom::SinkEntry<x> _entries[] = {
// Binds the event dispid of the event interface iid, for the sink nID, to
// the member function fn.
#define SINK_ENTRY_EX(nID, iid, dispid, fn)                                               \
  {nID, &iid, dispid, [](_atl_event_classtype* p, DISPPARAMS* d, UINT* e) -> HRESULT {  \
     return ::orvcom::CallSink(p, &_atl_event_classtype::fn, d, e);                     \
   }},
#define END_SINK_MAP()      \
  {0, nullptr, 0, nullptr} \
  }                        \
  ;                        \
  return _entries;         \
  }

// The event sink of an automation client: an IDispatch for the event
// interface *pdiid that calls T's handlers by DISPID through T's sink map.
// DISPIDs without a handler answer S_OK. Its reference count does not own
// T, whose owner deletes it. m_dwEventCookie is 0xFEFEFEFE while not
// advised.
template <UINT nID, class T, const IID* pdiid>
class IDispEventSimpleImpl : public IDispatch {
 public:
  static constexpr DWORD kNotAdvised = 0xFEFEFEFE;

  STDMETHOD(QueryInterface)(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IDispatch || riid == *pdiid) {
      *ppv = static_cast<IDispatch*>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHOD_(ULONG, AddRef)() override { return 1; }
  STDMETHOD_(ULONG, Release)() override { return 1; }
  STDMETHOD(GetTypeInfoCount)(UINT* pctinfo) override {
    if (!pctinfo) return E_POINTER;
    *pctinfo = 0;
    return S_OK;
  }
  STDMETHOD(GetTypeInfo)(UINT, LCID, ITypeInfo** ppTInfo) override {
    if (ppTInfo) *ppTInfo = nullptr;
    return E_NOTIMPL;
  }
  STDMETHOD(GetIDsOfNames)(REFIID riid, LPOLESTR* names, UINT count, LCID,
                           DISPID* ids) override {
    const orvcom::InterfaceInfo* info = orvcom::FindInterfaceInfo(*pdiid);
    if (!info) return E_NOTIMPL;
    return orvcom::TableGetIDsOfNames(info, riid, names, count, ids);
  }
  STDMETHOD(Invoke)(DISPID dispid, REFIID riid, LCID, WORD, DISPPARAMS* params, VARIANT*,
                    EXCEPINFO*, UINT* argErr) override {
    if (riid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
    if (!params) return E_INVALIDARG;
    for (const orvcom::SinkEntry<T>* e = T::_GetSinkMap(); e->piid; ++e) {
      if (e->id == nID && *e->piid == *pdiid && e->dispid == dispid)
        return e->call(static_cast<T*>(this), params, argErr);
    }
    return S_OK;
  }

  // Advises this sink on the connection point *pdiid of source.
  HRESULT DispEventAdvise(IUnknown* source) {
    IConnectionPoint* point = nullptr;
    HRESULT hr = FindPoint(source, &point);
    if (FAILED(hr)) return hr;
    DWORD cookie = 0;
    hr = point->Advise(static_cast<IDispatch*>(this), &cookie);
    point->Release();
    if (SUCCEEDED(hr)) m_dwEventCookie = cookie;
    return hr;
  }
  // Unadvises the kept cookie; the cookie is reset whatever the outcome.
  HRESULT DispEventUnadvise(IUnknown* source) {
    IConnectionPoint* point = nullptr;
    HRESULT hr = FindPoint(source, &point);
    if (SUCCEEDED(hr)) {
      hr = point->Unadvise(m_dwEventCookie);
      point->Release();
    }
    m_dwEventCookie = kNotAdvised;
    return hr;
  }

  DWORD m_dwEventCookie = kNotAdvised;

 private:
  static HRESULT FindPoint(IUnknown* source, IConnectionPoint** point) {
    if (!source) return E_INVALIDARG;
    IConnectionPointContainer* container = nullptr;
    HRESULT hr = source->QueryInterface(IID_IConnectionPointContainer,
                                        reinterpret_cast<void**>(&container));
    if (FAILED(hr)) return hr;
    hr = container->FindConnectionPoint(*pdiid, point);
    container->Release();
    return hr;
  }
};
