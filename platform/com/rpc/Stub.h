// The serving side of the transport: runs one request that came over a
// connection on the object it names, and writes the reply's payload. The
// proxies (ProxyManager.cpp) are the calling side of the same messages
// (Messages.h).
#pragma once

#include "platform/com/com.h"
#include "platform/com/rpc/Messages.h"

namespace orvrpc {

class Connection;

class Stub {
 public:
  explicit Stub(Connection& c) : c_(c) {}

  // Fills `w` with the reply's payload and answers its HRESULT. A body
  // that does not decode throws DecodeError; what a served object throws
  // goes through.
  HRESULT Serve(const msg::RequestHead& head, Reader& r, Writer& w);

 private:
  HRESULT ServeCall(IUnknown* target, const IID& iid, Reader& r, Writer& w);
  HRESULT ServeInvoke(IDispatch* target, Reader& r, Writer& w);
  HRESULT ServeGetIDsOfNames(IDispatch* target, Reader& r, Writer& w);

  Connection& c_;
};

}  // namespace orvrpc
