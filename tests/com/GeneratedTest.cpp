// The compiler's output for the shapes the contract does not use:
// property put, [out] VARIANT and interface arguments, [in] interfaces,
// enum results, and a second library registered beside the contract.
#include <gtest/gtest.h>

#include "TestLib.h"

namespace {

class ATL_NO_VTABLE CSettings
    : public CComObjectRootEx<CComMultiThreadModel>,
      public IDispatchImpl<ISettings, &IID_ISettings, &LIBID_TestLib, 2, 1> {
 public:
  BEGIN_COM_MAP(CSettings)
  COM_INTERFACE_ENTRY(ISettings)
  COM_INTERFACE_ENTRY(IDispatch)
  END_COM_MAP()

  STDMETHOD(get_Name)(BSTR* pVal) override { return name.CopyTo(pVal); }
  STDMETHOD(put_Name)(BSTR newVal) override {
    name = newVal;
    return S_OK;
  }
  STDMETHOD(Swap)(ISettings* other, VARIANT* old, ISettings** self) override {
    VariantInit(old);
    old->vt = VT_BSTR;
    old->bstrVal = name.Detach();
    if (other) other->get_Name(&name);
    return QueryInterface(IID_ISettings, reinterpret_cast<void**>(self));
  }
  STDMETHOD(Colour)(DOUBLE level, ColourEnum* colour) override {
    *colour = level > 0.5 ? enBlue : enGreen;
    return S_OK;
  }

  CComBSTR name{u"first"};
};

CComPtr<ISettings> Make(const char16_t* name) {
  CComObject<CSettings>* p = nullptr;
  CComObject<CSettings>::CreateInstance(&p);
  p->name = name;
  CComPtr<ISettings> s;
  p->QueryInterface(IID_ISettings, reinterpret_cast<void**>(&s));
  return s;
}

TEST(Generated, PropertyPutTakesTheNamedValue) {
  CComPtr<ISettings> s = Make(u"a");
  CComVariant value(u"renamed");
  DISPID put = DISPID_PROPERTYPUT;
  DISPPARAMS params = {&value, &put, 1, 1};
  EXPECT_EQ(s->Invoke(1, IID_NULL, 0, DISPATCH_PROPERTYPUT, &params, nullptr, nullptr, nullptr), S_OK);
  DISPPARAMS none = {nullptr, nullptr, 0, 0};
  CComVariant got;
  EXPECT_EQ(s->Invoke(1, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, &got, nullptr, nullptr), S_OK);
  EXPECT_EQ(orvcom::Narrow(got.bstrVal), "renamed");
  // A put that leaves out the named value is served as well; another
  // named argument is refused.
  DISPPARAMS unnamed = {&value, nullptr, 1, 0};
  EXPECT_EQ(s->Invoke(1, IID_NULL, 0, DISPATCH_PROPERTYPUT, &unnamed, nullptr, nullptr, nullptr), S_OK);
  DISPID other = 0;
  DISPPARAMS wrongName = {&value, &other, 1, 1};
  EXPECT_EQ(s->Invoke(1, IID_NULL, 0, DISPATCH_PROPERTYPUT, &wrongName, nullptr, nullptr, nullptr),
            DISP_E_NONAMEDARGS);
}

TEST(Generated, OutVariantsInterfacesAndEnums) {
  CComPtr<ISettings> a = Make(u"a");
  CComPtr<ISettings> b = Make(u"b");
  CComQIPtr<IDispatch> bDisp(b);
  VARIANT old;
  VariantInit(&old);
  ISettings* self = nullptr;
  VARIANT args[3];  // Invoke order: self, old, other
  args[2].vt = VT_DISPATCH;
  args[2].pdispVal = bDisp;
  args[1].vt = VT_BYREF | VT_VARIANT;
  args[1].pvarVal = &old;
  args[0].vt = VT_BYREF | VT_DISPATCH;
  args[0].ppdispVal = reinterpret_cast<IDispatch**>(&self);
  DISPPARAMS params = {args, nullptr, 3, 0};
  ASSERT_EQ(a->Invoke(2, IID_NULL, 0, DISPATCH_METHOD, &params, nullptr, nullptr, nullptr), S_OK);
  EXPECT_EQ(old.vt, VT_BSTR);
  EXPECT_EQ(orvcom::Narrow(old.bstrVal), "a");
  EXPECT_EQ(self, a.p);
  VariantClear(&old);
  self->Release();

  CComVariant level(0.75);
  DISPPARAMS one = {&level, nullptr, 1, 0};
  CComVariant colour;
  ASSERT_EQ(a->Invoke(3, IID_NULL, 0, DISPATCH_METHOD, &one, &colour, nullptr, nullptr), S_OK);
  EXPECT_EQ(colour.vt, VT_I4);
  EXPECT_EQ(colour.lVal, enBlue);
  EXPECT_EQ(enBlue, 6);  // enum values count on from the last given one

  ISettingsPtr wrapped(a);
  wrapped->PutName("via wrapper");
  EXPECT_STREQ(static_cast<const char*>(wrapped->GetName()), "via wrapper");
  EXPECT_EQ(wrapped->Colour(0.1), enGreen);
}

TEST(Generated, EachLibraryIsKnownByItsIdentifiers) {
  const orvcom::TypeLibInfo* lib = orvcom::FindTypeLibInfo(LIBID_TestLib);
  ASSERT_NE(lib, nullptr);
  EXPECT_EQ(lib->majorVersion, 2);
  EXPECT_EQ(lib->minorVersion, 1);
  EXPECT_EQ(orvcom::FindInterfaceInfo(IID_ISettings), orvcom::InterfaceInfoOf<ISettings>::Get());
  const orvcom::MemberInfo* put = orvcom::FindMember(orvcom::InterfaceInfoOf<ISettings>::Get(), 1,
                                                     DISPATCH_PROPERTYPUT);
  ASSERT_NE(put, nullptr);
  EXPECT_EQ(put->slot, 8);
  EXPECT_EQ(put->kind, orvcom::MemberKind::kPropPut);
  const orvcom::MemberInfo* swap = orvcom::FindMember(orvcom::InterfaceInfoOf<ISettings>::Get(), 2,
                                                      DISPATCH_METHOD);
  ASSERT_EQ(swap->paramCount, 3);
  EXPECT_EQ(swap->params[0].vt, VT_DISPATCH);
  EXPECT_EQ(*swap->params[0].iid, IID_ISettings);
  EXPECT_EQ(swap->params[1].flags, orvcom::kParamOut);
  EXPECT_EQ(swap->params[1].vt, VT_VARIANT);
}

}  // namespace
