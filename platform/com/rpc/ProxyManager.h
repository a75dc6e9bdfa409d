// The importing side of an object: one ProxyManager per remote object per
// connection, so identity holds (QueryInterface for IUnknown always gives
// the manager), with one interface proxy per interface asked for. The
// manager counts the references the peer handed over and gives them all
// back in one release when the last local reference goes.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "platform/com/com.h"

namespace orvrpc {

class Connection;
class Reader;
class ProxyManager;

// The C++ side of an interface proxy, owned by its manager. Interface
// proxies forward their IUnknown methods to the manager.
class ProxyPart {
 public:
  explicit ProxyPart(ProxyManager* manager) : m_(manager) {}
  virtual ~ProxyPart() = default;
  virtual IUnknown* Unknown() = 0;

 protected:
  ProxyManager* m_;
};

// Makes the proxy of one interface; registered by the generated proxy code
// of each type library, and for the standard interfaces here.
typedef ProxyPart* (*ProxyFactory)(ProxyManager* manager);
bool RegisterProxyFactory(const IID& iid, ProxyFactory factory);

// Reads a reference that the caller will use as `iid`: one written as any
// other interface is refused (DecodeError).
IUnknown* ReadInterfaceAs(Connection* c, Reader& r, REFIID iid);

class ProxyManager final : public IUnknown {
 public:
  ProxyManager(std::shared_ptr<Connection> connection, uint64_t objectId);

  STDMETHOD(QueryInterface)(REFIID iid, void** ppv) override;
  STDMETHOD_(ULONG, AddRef)() override;
  STDMETHOD_(ULONG, Release)() override;

  // A local reference, unless the manager is already on its way out.
  bool TryAddRef();
  void AddRemoteRef() { ++remoteRefs_; }
  // The AddRef'd proxy of `iid` without asking the peer (the peer said the
  // object has it); null when no proxy type is known for it.
  IUnknown* InterfaceFor(REFIID iid);

  uint64_t ObjectId() const { return id_; }
  Connection* Conn() const { return conn_.get(); }

  // A typed call: `argv` holds, per parameter in declaration order, the
  // address of an [in] value or the [out] pointer itself.
  HRESULT CallMember(const orvcom::InterfaceInfo* info, unsigned memberIndex, void** argv);

  // The IDispatch side of every interface proxy.
  HRESULT RemoteGetTypeInfoCount(UINT* count);
  HRESULT RemoteGetIDsOfNames(REFIID itf, REFIID riid, LPOLESTR* names, UINT count, LCID lcid,
                              DISPID* ids);
  HRESULT RemoteInvoke(REFIID itf, DISPID dispid, REFIID riid, LCID lcid, WORD flags,
                       DISPPARAMS* params, VARIANT* result, EXCEPINFO* excepInfo, UINT* argErr);

  // The standard interfaces' calls.
  HRESULT RemoteCreateInstance(REFIID riid, void** ppv);
  HRESULT RemoteLockServer(BOOL lock);
  HRESULT RemoteFindConnectionPoint(REFIID riid, IConnectionPoint** cp);
  HRESULT RemoteGetConnectionInterface(IID* iid);
  HRESULT RemoteAdvise(IUnknown* sink, DWORD* cookie);
  HRESULT RemoteUnadvise(DWORD cookie);
  HRESULT RemoteSupportsErrorInfo(REFIID riid);

 private:
  ~ProxyManager();

  std::shared_ptr<Connection> conn_;
  uint64_t id_;
  std::atomic<ULONG> refs_{1};
  std::atomic<uint32_t> remoteRefs_{0};
  std::mutex mu_;
  std::map<std::string, ProxyPart*> parts_;  // by IID bytes
};

}  // namespace orvrpc
