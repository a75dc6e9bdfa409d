// Writes seeds for the message fuzzer with the transport's own writers, so
// that they always match the current format: a byte that picks the reader,
// then a body.
#include <cstdio>
#include <filesystem>
#include <string>

#include "TransportLib.h"
#include "TransportFuzzSupport.h"
#include "platform/com/rpc/Connection.h"
#include "platform/com/rpc/Messages.h"

using namespace orvrpc;

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  std::string dir = argv[1];
  auto c = transportfuzz::SeedConnection(dir);
  if (!c) return 1;
  const orvcom::InterfaceInfo* probe = orvcom::InterfaceInfoOf<IProbe>::Get();

  {
    // IProbe::Echo(text, [out] wasNull, [out, retval] copy)
    Writer w;
    BSTR text = SysAllocString(u"MSFT");
    VARIANT_BOOL wasNull;
    BSTR copy;
    void* args[] = {&text, &wasNull, &copy};
    msg::Call::WriteRequest(w, *c, 7, probe, 0, args);
    SysFreeString(text);
    transportfuzz::SaveSeed(dir, "call", w, std::string(1, char(0)));
  }
  {
    Writer w;
    VARIANT args[2];
    VariantInit(&args[0]);
    VariantInit(&args[1]);
    LONG held = 3;
    args[0].vt = VT_BYREF | VT_I4;
    args[0].plVal = &held;
    args[1].vt = VT_BSTR;
    args[1].bstrVal = SysAllocString(u"IBM");
    DISPID named = 1;
    DISPPARAMS params{args, &named, 2, 1};
    msg::Invoke::WriteRequest(w, *c, 7, IID_IProbe, 4, IID_NULL, 0, DISPATCH_METHOD, params, true, true);
    VariantClear(&args[1]);
    transportfuzz::SaveSeed(dir, "invoke", w, std::string(1, char(0)));
  }
  {
    Writer w;
    OLECHAR name[] = u"Echo";
    LPOLESTR names[] = {name};
    msg::GetIDsOfNames::WriteRequest(w, 7, IID_IProbe, IID_NULL, 0, names, 1);
    transportfuzz::SaveSeed(dir, "names", w, std::string(1, char(0)));
  }
  {
    Writer w;
    msg::LockServer::WriteRequest(w, 1, TRUE);
    transportfuzz::SaveSeed(dir, "lock", w, std::string(1, char(0)));
  }
  {
    Writer w;
    msg::BeginReply(w);
    w.U32(42);
    msg::FinishReply(w, E_FAIL);
    transportfuzz::SaveSeed(dir, "reply", w, std::string(1, char(1)));
  }
  {
    // The Echo's outs: wasNull, then the copy.
    Writer w;
    w.U16(0);  // member index
    VARIANT outs[3], result;
    for (auto& v : outs) VariantInit(&v);
    VariantInit(&result);
    outs[1].vt = VT_BOOL;
    outs[1].boolVal = VARIANT_TRUE;
    result.vt = VT_BSTR;
    result.bstrVal = SysAllocString(u"MSFT");
    msg::Call::WriteReply(w, *c, probe->members[0], outs, result);
    VariantClear(&result);
    transportfuzz::SaveSeed(dir, "call_reply", w, std::string(1, char(2)));
  }
  {
    Writer w;
    EXCEPINFO ei{};
    ei.bstrDescription = SysAllocString(u"no data");
    msg::Invoke::WriteOutcome(w, true, ei, 1);
    SysFreeString(ei.bstrDescription);
    transportfuzz::SaveSeed(dir, "invoke_exception", w, std::string(1, char(4)));
  }
  {
    Writer w;
    EXCEPINFO ei{};
    msg::Invoke::WriteOutcome(w, false, ei, 0);
    w.U8(1);
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_R8;
    v.dblVal = 2.5;
    c->WriteVariant(w, v);  // the result
    c->WriteVariant(w, v);  // the first reference
    v.vt = VT_BSTR;
    v.bstrVal = nullptr;
    c->WriteVariant(w, v);  // the second
    transportfuzz::SaveSeed(dir, "invoke_reply", w, std::string(1, char(3)));
  }
  {
    Writer w;
    msg::GetIDsOfNames::WriteReply(w, {1, 2, 3});
    transportfuzz::SaveSeed(dir, "names_reply", w, std::string(1, char(5)));
  }
  c->Close();
  c->WaitClosed(std::chrono::seconds(5));
  return 0;
}
