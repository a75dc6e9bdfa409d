// Feeds arbitrary bytes to the transport's message readers, as the stub
// reads a request and as a proxy reads a reply: the first byte picks the
// reader, the rest is the body. Typed calls are read against the test
// library's IProbe, whose members have every parameter shape.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "TransportFuzzSupport.h"
#include "TransportLib.h"
#include "platform/com/rpc/Connection.h"
#include "platform/com/rpc/Messages.h"

using namespace orvrpc;

namespace {

const orvcom::MemberInfo* Member(Reader& r) {
  const orvcom::InterfaceInfo* info = orvcom::InterfaceInfoOf<IProbe>::Get();
  unsigned index = msg::Call::ReadMemberIndex(r);
  return index < info->memberCount ? &info->members[index] : nullptr;
}

// As the stub reads a request, up to the call of the object.
void ReadRequest(Reader& r, Connection& c) {
  msg::RequestHead head = msg::ReadRequestHead(r);
  switch (head.op) {
    case Op::kCall: {
      const orvcom::MemberInfo* m = Member(r);
      if (!m) return;
      VariantVector args(m->paramCount), outs(m->paramCount);
      msg::Call::ReadArguments(r, c, *m, args.v.data(), outs.v.data());
      return;
    }
    case Op::kInvoke: {
      msg::Invoke::Request prefix(0);
      msg::Invoke::Request req(msg::Invoke::ReadArgumentCount(r, &prefix));
      msg::Invoke::ReadArguments(r, c, &req);
      return;
    }
    case Op::kGetIDsOfNames: {
      IID riid;
      LCID lcid;
      std::vector<std::u16string> names;
      msg::GetIDsOfNames::ReadRequest(r, &riid, &lcid, &names);
      return;
    }
    case Op::kCreateInstance: msg::CreateInstance::ReadRequest(r); return;
    case Op::kFindConnectionPoint: msg::FindConnectionPoint::ReadRequest(r); return;
    case Op::kSupportsErrorInfo: msg::SupportsErrorInfo::ReadRequest(r); return;
    case Op::kLockServer: msg::LockServer::ReadRequest(r); return;
    case Op::kUnadvise: msg::Unadvise::ReadRequest(r); return;
    case Op::kAdvise: {
      IUnknown* sink = msg::Advise::ReadRequest(r, c);
      if (sink) sink->Release();
      return;
    }
    default: return;
  }
}

// As a proxy reads the reply of an Invoke with arguments of each kind.
void ReadInvokeReply(Reader& r, Connection& c, HRESULT hr) {
  VARIANT shapes[3];
  for (auto& v : shapes) VariantInit(&v);
  shapes[0].vt = VT_BYREF | VT_VARIANT;
  shapes[1].vt = VT_I4;
  shapes[2].vt = VT_BYREF | VT_BSTR;
  DISPPARAMS params{shapes, nullptr, 3, 0};
  EXCEPINFO ei;
  std::memset(&ei, 0, sizeof ei);
  VARIANT result;
  VariantInit(&result);
  std::vector<VARIANT> refs;
  UINT argErr = 0;
  try {
    msg::Invoke::ReadReply(r, c, hr, params, &ei, &argErr, &result, &refs);
  } catch (const DecodeError&) {
  }
  SysFreeString(ei.bstrSource);
  SysFreeString(ei.bstrDescription);
  SysFreeString(ei.bstrHelpFile);
  VariantClear(&result);
  for (auto& v : refs) VariantClear(&v);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  Connection& c = transportfuzz::DeadConnection();
  Reader r(data + 1, size - 1);
  try {
    switch (data[0] % 6) {
      case 0:
        ReadRequest(r, c);
        break;
      case 1: {
        Reply reply;
        reply.body.assign(reinterpret_cast<const char*>(data + 1), size - 1);
        msg::ReadReply(&reply, true);
        SetErrorInfo(0, nullptr);
        break;
      }
      case 2: {
        const orvcom::MemberInfo* m = Member(r);
        if (!m) break;
        VariantVector outs(m->paramCount);
        msg::Call::ReadReply(r, c, *m, outs.v.data());
        break;
      }
      case 3:
        ReadInvokeReply(r, c, S_OK);
        break;
      case 4:
        ReadInvokeReply(r, c, DISP_E_EXCEPTION);
        break;
      case 5: {
        DISPID ids[8];
        msg::GetIDsOfNames::ReadReply(r, 3, ids);
        break;
      }
    }
  } catch (const DecodeError&) {
  }
  SetErrorInfo(0, nullptr);
  return 0;
}
