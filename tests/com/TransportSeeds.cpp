// Writes the seeds of the value and message fuzzers with the transport's
// own writers, so that they always match the current format.
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>

#include "TransportLib.h"
#include "platform/com/rpc/Connection.h"
#include "platform/com/rpc/Messages.h"

using namespace orvrpc;

namespace {

// Saves the body `w` holds, after `prefix`.
void SaveSeed(const std::string& dir, const char* name, Writer& w, const std::string& prefix = "") {
  std::string& frame = w.Finish(FrameKind::kRequest, 0);
  std::string body = prefix + frame.substr(kFrameHeaderSize);
  FILE* f = std::fopen((dir + "/" + name).c_str(), "wb");
  if (!f) return;
  std::fwrite(body.data(), 1, body.size(), f);
  std::fclose(f);
}

// Values as a request or a reply carries them.
void WriteValueSeeds(const std::string& dir, Connection& c) {
  VARIANT v;
  VariantInit(&v);
  {
    Writer w;
    v.vt = VT_BSTR;
    v.bstrVal = SysAllocString(u"MSFT");
    c.WriteVariant(w, v);
    VariantClear(&v);
    v.vt = VT_BSTR;  // null
    c.WriteVariant(w, v);
    v.vt = VT_R8;
    v.dblVal = 1.5;
    c.WriteVariant(w, v);
    SaveSeed(dir, "scalars", w);
  }
  {
    Writer w;
    SAFEARRAY* sa = SafeArrayCreateVector(VT_BSTR, 5, 2);
    LONG i = 5;
    BSTR s = SysAllocString(u"a");
    SafeArrayPutElement(sa, &i, s);
    SysFreeString(s);
    v.vt = VT_ARRAY | VT_BSTR;
    v.parray = sa;
    c.WriteVariant(w, v);
    VariantClear(&v);
    SAFEARRAY* nested = SafeArrayCreateVector(VT_VARIANT, 0, 1);
    v.vt = VT_ARRAY | VT_VARIANT;
    v.parray = nested;
    c.WriteVariant(w, v);
    VariantClear(&v);
    SaveSeed(dir, "arrays", w);
  }
  {
    // Strings in nested arrays, more in memory than the fuzzer's small bound.
    Writer w;
    SAFEARRAY* outer = SafeArrayCreateVector(VT_VARIANT, 0, 40);
    for (LONG i = 0; i < 40; ++i) {
      VARIANT e;
      VariantInit(&e);
      e.vt = VT_ARRAY | VT_BSTR;
      e.parray = SafeArrayCreateVector(VT_BSTR, 0, 4);
      LONG k = 1;
      BSTR s = SysAllocString(u"IBM");
      SafeArrayPutElement(e.parray, &k, s);
      SysFreeString(s);
      SafeArrayPutElement(outer, &i, &e);
      VariantClear(&e);
    }
    v.vt = VT_ARRAY | VT_VARIANT;
    v.parray = outer;
    c.WriteVariant(w, v);
    VariantClear(&v);
    SaveSeed(dir, "large", w);
  }
  {
    Writer w;
    w.U16(VT_DISPATCH);
    w.U8(1);  // a reference of the sender's
    w.U64(7);
    WriteGuid(w, IID_IDispatch);
    SaveSeed(dir, "reference", w);
  }
  {
    Writer w;
    ICreateErrorInfo* create = nullptr;
    CreateErrorInfo(&create);
    std::u16string d = u"no data";
    create->SetDescription(&d[0]);
    IErrorInfo* info = nullptr;
    create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&info));
    SetErrorInfo(0, info);
    info->Release();
    create->Release();
    WriteErrorInfo(w);
    SaveSeed(dir, "errorinfo", w);
  }
}

// A byte that picks the reader, then a body.
void WriteMessageSeeds(const std::string& dir, Connection& c) {
  const orvcom::InterfaceInfo* probe = orvcom::InterfaceInfoOf<IProbe>::Get();

  {
    // IProbe::Echo(text, [out] wasNull, [out, retval] copy)
    Writer w;
    BSTR text = SysAllocString(u"MSFT");
    VARIANT_BOOL wasNull;
    BSTR copy;
    void* args[] = {&text, &wasNull, &copy};
    msg::Call::WriteRequest(w, c, 7, probe, 0, args);
    SysFreeString(text);
    SaveSeed(dir, "call", w, std::string(1, char(0)));
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
    msg::Invoke::WriteRequest(w, c, 7, IID_IProbe, 4, IID_NULL, 0, DISPATCH_METHOD, params, true, true);
    VariantClear(&args[1]);
    SaveSeed(dir, "invoke", w, std::string(1, char(0)));
  }
  {
    Writer w;
    OLECHAR name[] = u"Echo";
    LPOLESTR names[] = {name};
    msg::GetIDsOfNames::WriteRequest(w, 7, IID_IProbe, IID_NULL, 0, names, 1);
    SaveSeed(dir, "names", w, std::string(1, char(0)));
  }
  {
    Writer w;
    msg::LockServer::WriteRequest(w, 1, TRUE);
    SaveSeed(dir, "lock", w, std::string(1, char(0)));
  }
  {
    Writer w;
    msg::BeginReply(w);
    w.U32(42);
    msg::FinishReply(w, E_FAIL);
    SaveSeed(dir, "reply", w, std::string(1, char(1)));
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
    msg::Call::WriteReply(w, c, probe->members[0], outs, result);
    VariantClear(&result);
    SaveSeed(dir, "call_reply", w, std::string(1, char(2)));
  }
  {
    Writer w;
    EXCEPINFO ei{};
    ei.bstrDescription = SysAllocString(u"no data");
    msg::Invoke::WriteOutcome(w, true, ei, 1);
    SysFreeString(ei.bstrDescription);
    SaveSeed(dir, "invoke_exception", w, std::string(1, char(4)));
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
    c.WriteVariant(w, v);  // the result
    c.WriteVariant(w, v);  // the first reference
    v.vt = VT_BSTR;
    v.bstrVal = nullptr;
    c.WriteVariant(w, v);  // the second
    SaveSeed(dir, "invoke_reply", w, std::string(1, char(3)));
  }
  {
    Writer w;
    msg::GetIDsOfNames::WriteReply(w, {1, 2, 3});
    SaveSeed(dir, "names_reply", w, std::string(1, char(5)));
  }
}

}  // namespace

// transport_seeds VALUE_DIR MESSAGE_DIR
int main(int argc, char** argv) {
  if (argc != 3) return 2;
  const std::string values = argv[1], messages = argv[2];
  for (const std::string& dir : {values, messages}) {
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    if (ec) return 1;
  }
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  UniqueFd a, b;
  MakeSocketPair(&a, &b);
  std::shared_ptr<Connection> c = Connection::Start(std::move(a), nullptr, "seeds");
  WriteValueSeeds(values, *c);
  WriteMessageSeeds(messages, *c);
  c->Close();
  c->WaitClosed(std::chrono::seconds(5));
  return 0;
}
