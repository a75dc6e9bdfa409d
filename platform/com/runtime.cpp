#include <atomic>
#include <mutex>
#include <vector>

#include "platform/com/runtime.h"
#include "platform/log/Log.h"

namespace {

thread_local int t_comInits = 0;

struct ClassEntry {
  DWORD cookie;
  CLSID clsid;
  IUnknown* object;
  DWORD context;
  bool suspended;
};

struct ClassTable {
  std::mutex mutex;
  std::vector<ClassEntry> entries;
  DWORD nextCookie = 1;
  bool allSuspended = false;
};

ClassTable& Table() {
  static ClassTable* table = new ClassTable();  // outlives every static destructor
  return *table;
}

std::atomic<orvcom::LocalServerHook*> g_hook{nullptr};

void Notify(const std::vector<ClassEntry>& changed, orvcom::LocalServerHook::ClassState state) {
  orvcom::LocalServerHook* hook = g_hook.load();
  if (!hook) return;
  for (const ClassEntry& e : changed)
    if (e.context & CLSCTX_LOCAL_SERVER) hook->ClassObjectChanged(e.clsid, e.object, state);
}

}  // namespace

HRESULT CoInitializeEx(LPVOID, DWORD coInit) {
  if (coInit & COINIT_APARTMENTTHREADED) return E_INVALIDARG;
  return t_comInits++ == 0 ? S_OK : S_FALSE;
}

void CoUninitialize() {
  if (t_comInits > 0) --t_comInits;
}

namespace orvcom {

bool IsComInitialized() { return t_comInits > 0; }

LocalServerHook* SetLocalServerHook(LocalServerHook* hook) { return g_hook.exchange(hook); }

}  // namespace orvcom

HRESULT CoRegisterClassObject(REFCLSID clsid, IUnknown* classObject, DWORD clsContext,
                              DWORD flags, LPDWORD cookie) {
  if (!cookie || !classObject) return E_INVALIDARG;
  *cookie = 0;
  if (!orvcom::IsComInitialized()) return CO_E_NOTINITIALIZED;
  if ((flags & ~DWORD(REGCLS_SUSPENDED)) != REGCLS_MULTIPLEUSE) return E_INVALIDARG;
  ClassEntry entry{0, clsid, classObject, clsContext, (flags & REGCLS_SUSPENDED) != 0};
  {
    ClassTable& t = Table();
    std::lock_guard<std::mutex> lock(t.mutex);
    for (const ClassEntry& e : t.entries)
      if (e.clsid == clsid) return CO_E_OBJISREG;
    entry.cookie = t.nextCookie++;
    classObject->AddRef();
    t.entries.push_back(entry);
  }
  *cookie = entry.cookie;
  ORV_LOG(orvlog::kDebug, "COM class object registered " << orvcom::GuidToString(clsid)
                                                         << (entry.suspended ? " (suspended)" : ""));
  Notify({entry}, orvcom::LocalServerHook::ClassState::kRegistered);
  if (!entry.suspended) Notify({entry}, orvcom::LocalServerHook::ClassState::kResumed);
  return S_OK;
}

HRESULT CoRevokeClassObject(DWORD cookie) {
  ClassEntry entry{};
  {
    ClassTable& t = Table();
    std::lock_guard<std::mutex> lock(t.mutex);
    auto it = t.entries.begin();
    while (it != t.entries.end() && it->cookie != cookie) ++it;
    if (it == t.entries.end()) return E_INVALIDARG;
    entry = *it;
    t.entries.erase(it);
  }
  Notify({entry}, orvcom::LocalServerHook::ClassState::kRevoked);
  entry.object->Release();
  return S_OK;
}

HRESULT CoResumeClassObjects() {
  std::vector<ClassEntry> changed;
  {
    ClassTable& t = Table();
    std::lock_guard<std::mutex> lock(t.mutex);
    for (ClassEntry& e : t.entries) {
      if (e.suspended) {
        e.suspended = false;
        e.object->AddRef();  // kept for the notification below
        changed.push_back(e);
      }
    }
  }
  Notify(changed, orvcom::LocalServerHook::ClassState::kResumed);
  for (ClassEntry& e : changed) e.object->Release();
  return S_OK;
}

HRESULT CoSuspendClassObjects() {
  std::vector<ClassEntry> changed;
  {
    ClassTable& t = Table();
    std::lock_guard<std::mutex> lock(t.mutex);
    for (ClassEntry& e : t.entries) {
      if (!e.suspended) {
        e.suspended = true;
        e.object->AddRef();
        changed.push_back(e);
      }
    }
  }
  Notify(changed, orvcom::LocalServerHook::ClassState::kSuspended);
  for (ClassEntry& e : changed) e.object->Release();
  return S_OK;
}

HRESULT CoGetClassObject(REFCLSID clsid, DWORD clsContext, LPVOID, REFIID riid, LPVOID* ppv) {
  if (!ppv) return E_INVALIDARG;
  *ppv = nullptr;
  if (!orvcom::IsComInitialized()) return CO_E_NOTINITIALIZED;
  IUnknown* found = nullptr;
  {
    ClassTable& t = Table();
    std::lock_guard<std::mutex> lock(t.mutex);
    for (const ClassEntry& e : t.entries) {
      if (e.clsid == clsid && !e.suspended && (e.context & clsContext)) {
        found = e.object;
        found->AddRef();
        break;
      }
    }
  }
  if (found) {
    HRESULT hr = found->QueryInterface(riid, ppv);
    found->Release();
    return hr;
  }
  orvcom::LocalServerHook* hook = g_hook.load();
  if (hook && (clsContext & CLSCTX_LOCAL_SERVER)) return hook->GetClassObject(clsid, clsContext, riid, ppv);
  return REGDB_E_CLASSNOTREG;
}

HRESULT CoCreateInstance(REFCLSID clsid, LPUNKNOWN outer, DWORD clsContext, REFIID riid,
                         LPVOID* ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  if (outer) return CLASS_E_NOAGGREGATION;
  IClassFactory* factory = nullptr;
  HRESULT hr = CoGetClassObject(clsid, clsContext, nullptr, IID_IClassFactory,
                                reinterpret_cast<void**>(&factory));
  if (FAILED(hr)) return hr;
  hr = factory->CreateInstance(nullptr, riid, ppv);
  factory->Release();
  return hr;
}

HRESULT OleRun(LPUNKNOWN object) { return object ? S_OK : E_INVALIDARG; }

HRESULT ProgIDFromCLSID(REFCLSID clsid, LPOLESTR* progId) {
  if (!progId) return E_INVALIDARG;
  *progId = nullptr;
  std::string path = "CLSID\\" + orvcom::GuidToString(clsid) + "\\ProgID";
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
    return REGDB_E_CLASSNOTREG;
  char text[256];
  DWORD size = sizeof text;
  DWORD type = 0;
  LONG rc = RegQueryValueExA(key, nullptr, nullptr, &type, reinterpret_cast<LPBYTE>(text), &size);
  RegCloseKey(key);
  if (rc != ERROR_SUCCESS || type != REG_SZ || size == 0) return REGDB_E_CLASSNOTREG;
  text[sizeof text - 1] = 0;
  std::u16string w = orvcom::Widen(text);
  *progId = static_cast<LPOLESTR>(CoTaskMemAlloc((w.size() + 1) * sizeof(OLECHAR)));
  if (!*progId) return E_OUTOFMEMORY;
  std::copy(w.begin(), w.end(), *progId);
  (*progId)[w.size()] = 0;
  return S_OK;
}

HRESULT CLSIDFromProgID(LPCOLESTR progId, LPCLSID clsid) {
  if (!progId || !clsid) return E_INVALIDARG;
  std::string path = orvcom::Narrow(progId) + "\\CLSID";
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
    return CO_E_CLASSSTRING;
  char text[64];
  DWORD size = sizeof text;
  DWORD type = 0;
  LONG rc = RegQueryValueExA(key, nullptr, nullptr, &type, reinterpret_cast<LPBYTE>(text), &size);
  RegCloseKey(key);
  if (rc != ERROR_SUCCESS || type != REG_SZ) return CO_E_CLASSSTRING;
  text[sizeof text - 1] = 0;
  return orvcom::ParseGuid(text, clsid) ? S_OK : CO_E_CLASSSTRING;
}
