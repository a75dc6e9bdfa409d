#include <string>

#include "platform/com/atlcom.h"
#include "platform/log/Log.h"

CComModule* _pAtlModule = nullptr;

namespace orvcom {

LONG ModuleLock() { return _pAtlModule ? _pAtlModule->Lock() : 0; }
LONG ModuleUnlock() { return _pAtlModule ? _pAtlModule->Unlock() : 0; }

}  // namespace orvcom

HRESULT CComObjectRootBase::InternalQueryInterface(void* object, const _ATL_INTMAP_ENTRY* entries,
                                                   REFIID iid, void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  for (const _ATL_INTMAP_ENTRY* e = entries; e->piid; ++e) {
    if (*e->piid == iid || (iid == IID_IUnknown && e == entries)) {
      IUnknown* p = e->cast(object);
      p->AddRef();
      *ppv = p;
      return S_OK;
    }
  }
  return E_NOINTERFACE;
}

// ---- Error information ------------------------------------------------------

HRESULT AtlReportError(REFCLSID clsid, LPCOLESTR description, REFIID iid, HRESULT hr) {
  ICreateErrorInfo* create = nullptr;
  if (SUCCEEDED(CreateErrorInfo(&create))) {
    create->SetDescription(const_cast<LPOLESTR>(description));
    create->SetGUID(iid);
    LPOLESTR progId = nullptr;
    if (SUCCEEDED(ProgIDFromCLSID(clsid, &progId))) {
      create->SetSource(progId);
      CoTaskMemFree(progId);
    }
    IErrorInfo* info = nullptr;
    if (SUCCEEDED(create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&info)))) {
      SetErrorInfo(0, info);
      info->Release();
    }
    create->Release();
  }
  return hr == 0 ? DISP_E_EXCEPTION : hr;
}

HRESULT AtlReportError(REFCLSID clsid, LPCSTR description, REFIID iid, HRESULT hr) {
  std::u16string text = orvcom::Widen(description);
  return AtlReportError(clsid, description ? text.c_str() : nullptr, iid, hr);
}

// ---- Class factory, sink array ------------------------------------------------

STDMETHODIMP CComClassFactory::CreateInstance(IUnknown* outer, REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  if (outer) return CLASS_E_NOAGGREGATION;
  if (!m_pfnCreateInstance) return E_UNEXPECTED;
  return m_pfnCreateInstance(riid, ppv);
}

STDMETHODIMP CComClassFactory::LockServer(BOOL lock) {
  if (lock)
    orvcom::ModuleLock();
  else
    orvcom::ModuleUnlock();
  return S_OK;
}

DWORD CComDynamicUnkArray::Add(IUnknown* sink) {
  for (size_t i = 0; i < slots_.size(); ++i) {
    if (!slots_[i]) {
      slots_[i] = sink;
      return DWORD(i + 1);
    }
  }
  if (slots_.size() >= 0xFFFFFFF0u) return 0;
  slots_.push_back(sink);
  return DWORD(slots_.size());
}

IUnknown* CComDynamicUnkArray::Take(DWORD cookie) {
  if (cookie == 0 || cookie > slots_.size()) return nullptr;
  IUnknown* sink = slots_[cookie - 1];
  slots_[cookie - 1] = nullptr;
  return sink;
}

// ---- Registry scripts and the type library ------------------------------------

namespace orvcom {

namespace {

HKEY RootKey(const std::string& name) {
  if (name == "HKCR" || name == "HKEY_CLASSES_ROOT") return HKEY_CLASSES_ROOT;
  if (name == "HKLM" || name == "HKEY_LOCAL_MACHINE") return HKEY_LOCAL_MACHINE;
  if (name == "HKCU" || name == "HKEY_CURRENT_USER") return HKEY_CURRENT_USER;
  return nullptr;
}

std::string Substitute(const char* text) {
  std::string s = text ? text : "";
  static const std::string kModule = "%MODULE%";
  for (size_t at = s.find(kModule); at != std::string::npos; at = s.find(kModule, at)) {
    std::string path = ModulePath();
    s.replace(at, kModule.size(), path);
    at += path.size();
  }
  return s;
}

LONG SetString(HKEY root, const std::string& path, const char* name, const std::string& value) {
  HKEY key = nullptr;
  LONG rc = RegCreateKeyExA(root, path.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr);
  if (rc != ERROR_SUCCESS) return rc;
  rc = RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                      DWORD(value.size() + 1));
  RegCloseKey(key);
  return rc;
}

LONG CreateKey(HKEY root, const std::string& path) {
  HKEY key = nullptr;
  LONG rc = RegCreateKeyExA(root, path.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr);
  if (rc == ERROR_SUCCESS) RegCloseKey(key);
  return rc;
}

LONG SetValue(HKEY root, const std::string& path, const RegistryValue& v) {
  if (v.type == 'd') {
    HKEY key = nullptr;
    LONG rc = RegCreateKeyExA(root, path.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr);
    if (rc != ERROR_SUCCESS) return rc;
    DWORD number = DWORD(std::stoul(Substitute(v.data), nullptr, 0));
    rc = RegSetValueExA(key, v.name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number),
                        sizeof number);
    RegCloseKey(key);
    return rc;
  }
  return SetString(root, path, v.name, Substitute(v.data));
}

bool Gone(LONG rc) { return rc == ERROR_SUCCESS || rc == ERROR_FILE_NOT_FOUND; }

}  // namespace

std::string ModulePath() {
  char path[4096];
  DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
  return n ? std::string(path, n) : std::string();
}

HRESULT UpdateRegistryFromResource(UINT resourceId, BOOL registering) {
  const RegistryScript* script = FindRegistryScript(resourceId);
  if (!script) return HRESULT_FROM_WIN32(ERROR_RESOURCE_NAME_NOT_FOUND);
  // Each node's path from its root, by walking the depths.
  std::vector<HKEY> roots(script->nodeCount);
  std::vector<std::string> paths(script->nodeCount);
  std::vector<std::string> stack;
  HKEY root = nullptr;
  for (unsigned i = 0; i < script->nodeCount; ++i) {
    const RegistryNode& n = script->nodes[i];
    if (n.depth == 0) {
      root = RootKey(n.name);
      if (!root) return E_UNEXPECTED;
      stack.clear();
    } else {
      stack.resize(n.depth - 1);
      std::string path;
      for (const std::string& part : stack) path += part + "\\";
      path += n.name;
      stack.push_back(n.name);
      paths[i] = path;
    }
    roots[i] = root;
  }

  if (registering) {
    for (unsigned i = 0; i < script->nodeCount; ++i) {
      const RegistryNode& n = script->nodes[i];
      if (n.depth == 0) continue;
      if (n.flags & kRegForceRemove) RegDeleteTreeA(roots[i], paths[i].c_str());
      LONG rc = n.defaultValue ? SetString(roots[i], paths[i], nullptr, Substitute(n.defaultValue))
                               : CreateKey(roots[i], paths[i]);
      for (unsigned v = 0; rc == ERROR_SUCCESS && v < n.valueCount; ++v)
        rc = SetValue(roots[i], paths[i], n.values[v]);
      if (rc != ERROR_SUCCESS) {
        ORV_LOG(orvlog::kError, "ERROR: registry script " << resourceId << " cannot write "
                                                          << paths[i] << " (" << rc << ")");
        return HRESULT_FROM_WIN32(DWORD(rc));
      }
    }
    return S_OK;
  }

  // Children follow their parents, so going backwards removes them first.
  for (unsigned i = script->nodeCount; i-- > 0;) {
    const RegistryNode& n = script->nodes[i];
    if (n.depth == 0) continue;
    if (n.flags & kRegNoRemove) {
      HKEY key = nullptr;
      if (n.valueCount &&
          RegOpenKeyExA(roots[i], paths[i].c_str(), 0, KEY_WRITE, &key) == ERROR_SUCCESS) {
        for (unsigned v = 0; v < n.valueCount; ++v)
          if (n.values[v].name) RegDeleteValueA(key, n.values[v].name);
        RegCloseKey(key);
      }
      continue;
    }
    LONG rc = (n.flags & kRegForceRemove) ? RegDeleteTreeA(roots[i], paths[i].c_str())
                                          : RegDeleteKeyA(roots[i], paths[i].c_str());
    // A key that still holds keys the script does not name stays.
    if (!Gone(rc) && rc != ERROR_ACCESS_DENIED) return HRESULT_FROM_WIN32(DWORD(rc));
  }
  return S_OK;
}

namespace {

const char kAutomationProxy[] = "{00020424-0000-0000-C000-000000000046}";

std::string VersionText(const TypeLibInfo* lib) {
  char text[32];
  std::snprintf(text, sizeof text, "%x.%x", unsigned(lib->majorVersion), unsigned(lib->minorVersion));
  return text;
}

}  // namespace

HRESULT RegisterTypeLib(REFGUID libid) {
  const TypeLibInfo* lib = FindTypeLibInfo(libid);
  if (!lib) return TYPE_E_ELEMENTNOTFOUND;
  std::string module = ModulePath();
  std::string folder = module.substr(0, module.find_last_of('/') + 1);
  std::string libKey = "TypeLib\\" + GuidToString(libid) + "\\" + VersionText(lib);
  char lcid[16];
  std::snprintf(lcid, sizeof lcid, "%x", unsigned(lib->lcid));
  LONG rc = SetString(HKEY_CLASSES_ROOT, libKey, nullptr, lib->helpString);
  if (rc == ERROR_SUCCESS)
    rc = SetString(HKEY_CLASSES_ROOT, libKey + "\\" + lcid + "\\win32", nullptr, module);
  if (rc == ERROR_SUCCESS) rc = SetString(HKEY_CLASSES_ROOT, libKey + "\\FLAGS", nullptr, "0");
  if (rc == ERROR_SUCCESS) rc = SetString(HKEY_CLASSES_ROOT, libKey + "\\HELPDIR", nullptr, folder);
  for (unsigned i = 0; rc == ERROR_SUCCESS && i < lib->interfaceCount; ++i) {
    const InterfaceInfo* itf = lib->interfaces[i];
    std::string key = "Interface\\" + GuidToString(*itf->iid);
    rc = SetString(HKEY_CLASSES_ROOT, key, nullptr, itf->name);
    if (rc == ERROR_SUCCESS)
      rc = SetString(HKEY_CLASSES_ROOT, key + "\\ProxyStubClsid", nullptr, kAutomationProxy);
    if (rc == ERROR_SUCCESS)
      rc = SetString(HKEY_CLASSES_ROOT, key + "\\ProxyStubClsid32", nullptr, kAutomationProxy);
    if (rc == ERROR_SUCCESS)
      rc = SetString(HKEY_CLASSES_ROOT, key + "\\TypeLib", nullptr, GuidToString(libid));
    if (rc == ERROR_SUCCESS)
      rc = SetString(HKEY_CLASSES_ROOT, key + "\\TypeLib", "Version", VersionText(lib));
  }
  return rc == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(DWORD(rc));
}

HRESULT UnRegisterTypeLib(REFGUID libid) {
  const TypeLibInfo* lib = FindTypeLibInfo(libid);
  if (!lib) return TYPE_E_ELEMENTNOTFOUND;
  for (unsigned i = 0; i < lib->interfaceCount; ++i)
    RegDeleteTreeA(HKEY_CLASSES_ROOT, ("Interface\\" + GuidToString(*lib->interfaces[i]->iid)).c_str());
  std::string libKey = "TypeLib\\" + GuidToString(libid);
  LONG rc = RegDeleteTreeA(HKEY_CLASSES_ROOT, (libKey + "\\" + VersionText(lib)).c_str());
  // Other versions of the library keep the library's key.
  RegDeleteKeyA(HKEY_CLASSES_ROOT, libKey.c_str());
  return Gone(rc) ? S_OK : HRESULT_FROM_WIN32(DWORD(rc));
}

}  // namespace orvcom

// ---- The module ---------------------------------------------------------------

CComModule::CComModule() : m_nLockCnt(0) { _pAtlModule = this; }

CComModule::~CComModule() {
  if (_pAtlModule == this) _pAtlModule = nullptr;
}

HRESULT CComModule::Init(_ATL_OBJMAP_ENTRY* objectMap, HINSTANCE instance, const GUID* libid) {
  m_pObjMap = objectMap;
  m_hInst = instance;
  m_pLibID = libid;
  for (_ATL_OBJMAP_ENTRY* e = m_pObjMap; e && e->pclsid; ++e)
    if (e->pfnObjectMain) e->pfnObjectMain(true);
  return S_OK;
}

void CComModule::Term() {
  RevokeClassObjects();
  for (_ATL_OBJMAP_ENTRY* e = m_pObjMap; e && e->pclsid; ++e)
    if (e->pfnObjectMain) e->pfnObjectMain(false);
}

LONG CComModule::Lock() { return ++m_nLockCnt; }
LONG CComModule::Unlock() { return --m_nLockCnt; }

HRESULT CComModule::RegisterClassObjects(DWORD clsContext, DWORD flags) {
  for (_ATL_OBJMAP_ENTRY* e = m_pObjMap; e && e->pclsid; ++e) {
    if (!e->pfnCreateInstance || e->pCF) continue;
    auto* factory = new (std::nothrow) CComObjectNoLock<CComClassFactory>();
    if (!factory) return E_OUTOFMEMORY;
    factory->m_pfnCreateInstance = e->pfnCreateInstance;
    factory->AddRef();
    HRESULT hr = CoRegisterClassObject(*e->pclsid, factory, clsContext, flags, &e->dwRegister);
    if (FAILED(hr)) {
      factory->Release();
      e->dwRegister = 0;
      return hr;
    }
    e->pCF = factory;
  }
  return S_OK;
}

HRESULT CComModule::RevokeClassObjects() {
  HRESULT result = S_OK;
  for (_ATL_OBJMAP_ENTRY* e = m_pObjMap; e && e->pclsid; ++e) {
    if (!e->pCF) continue;
    HRESULT hr = CoRevokeClassObject(e->dwRegister);
    if (FAILED(hr)) result = hr;
    e->pCF->Release();
    e->pCF = nullptr;
    e->dwRegister = 0;
  }
  return result;
}

HRESULT CComModule::RegisterServer(BOOL registerTypeLib, const CLSID* clsid) {
  for (_ATL_OBJMAP_ENTRY* e = m_pObjMap; e && e->pclsid; ++e) {
    if (clsid && *clsid != *e->pclsid) continue;
    HRESULT hr = e->pfnUpdateRegistry ? e->pfnUpdateRegistry(TRUE) : S_OK;
    if (FAILED(hr)) return hr;
  }
  return registerTypeLib ? RegisterTypeLib() : S_OK;
}

HRESULT CComModule::UnregisterServer(BOOL unregisterTypeLib, const CLSID* clsid) {
  for (_ATL_OBJMAP_ENTRY* e = m_pObjMap; e && e->pclsid; ++e) {
    if (clsid && *clsid != *e->pclsid) continue;
    HRESULT hr = e->pfnUpdateRegistry ? e->pfnUpdateRegistry(FALSE) : S_OK;
    if (FAILED(hr)) return hr;
  }
  return unregisterTypeLib ? UnRegisterTypeLib() : S_OK;
}

HRESULT CComModule::RegisterTypeLib() {
  return m_pLibID ? orvcom::RegisterTypeLib(*m_pLibID) : TYPE_E_ELEMENTNOTFOUND;
}

HRESULT CComModule::UnRegisterTypeLib() {
  return m_pLibID ? orvcom::UnRegisterTypeLib(*m_pLibID) : TYPE_E_ELEMENTNOTFOUND;
}
