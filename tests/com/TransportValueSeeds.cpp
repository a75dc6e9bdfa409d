// Writes seeds for the value fuzzer with the transport's own encoder, so
// that they always match the current format.
#include <cstdio>
#include <filesystem>
#include <string>

#include "TransportFuzzSupport.h"
#include "platform/com/rpc/Connection.h"

using namespace orvrpc;

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  std::string dir = argv[1];
  auto c = transportfuzz::SeedConnection(dir);
  if (!c) return 1;

  VARIANT v;
  VariantInit(&v);
  {
    Writer w;
    v.vt = VT_BSTR;
    v.bstrVal = SysAllocString(u"MSFT");
    c->WriteVariant(w, v);
    VariantClear(&v);
    v.vt = VT_BSTR;  // null
    c->WriteVariant(w, v);
    v.vt = VT_R8;
    v.dblVal = 1.5;
    c->WriteVariant(w, v);
    transportfuzz::SaveSeed(dir, "scalars", w);
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
    c->WriteVariant(w, v);
    VariantClear(&v);
    SAFEARRAY* nested = SafeArrayCreateVector(VT_VARIANT, 0, 1);
    v.vt = VT_ARRAY | VT_VARIANT;
    v.parray = nested;
    c->WriteVariant(w, v);
    VariantClear(&v);
    transportfuzz::SaveSeed(dir, "arrays", w);
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
    c->WriteVariant(w, v);
    VariantClear(&v);
    transportfuzz::SaveSeed(dir, "large", w);
  }
  {
    Writer w;
    w.U16(VT_DISPATCH);
    w.U8(1);  // a reference of the sender's
    w.U64(7);
    WriteGuid(w, IID_IDispatch);
    transportfuzz::SaveSeed(dir, "reference", w);
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
    transportfuzz::SaveSeed(dir, "errorinfo", w);
  }
  c->Close();
  c->WaitClosed(std::chrono::seconds(5));
  return 0;
}
