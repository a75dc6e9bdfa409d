// IDispatch over the generated tables: names and DISPIDs, argument
// conversion, [out] arguments, errors of failing members and the
// DISP_E_* answers; the generated client wrappers.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "TestObjects.h"

namespace {

// A VARIANT array in Invoke order (last argument first) built from the
// arguments in declaration order.
struct Call {
  std::vector<VARIANT> args;
  DISPPARAMS params{};
  VARIANT result;
  EXCEPINFO excep{};
  UINT argErr = 12345;

  explicit Call(std::vector<VARIANT> inOrder) : args(inOrder.rbegin(), inOrder.rend()) {
    VariantInit(&result);
    params.rgvarg = args.empty() ? nullptr : args.data();
    params.cArgs = UINT(args.size());
  }
  ~Call() {
    for (VARIANT& v : args) VariantClear(&v);
    VariantClear(&result);
    SysFreeString(excep.bstrSource);
    SysFreeString(excep.bstrDescription);
    SysFreeString(excep.bstrHelpFile);
  }
  HRESULT On(IDispatch* d, DISPID id, WORD flags = DISPATCH_METHOD, bool withExcep = true) {
    return d->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, &result,
                     withExcep ? &excep : nullptr, &argErr);
  }
};

VARIANT Str(const char16_t* s) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_BSTR;
  v.bstrVal = SysAllocString(s);
  return v;
}
VARIANT I4(LONG n) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_I4;
  v.lVal = n;
  return v;
}
VARIANT Ref(VARTYPE vt, void* p) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VARTYPE(VT_BYREF | vt);
  v.byref = p;
  return v;
}

DISPID IdOf(IDispatch* d, const char16_t* name) {
  LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
  DISPID id = 0;
  EXPECT_EQ(d->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id), S_OK) << orvcom::Narrow(name);
  return id;
}

class DispatchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("orvcom-dispatch-" + std::to_string(getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir_);
    setenv("ORV_REGISTRY", (dir_ / "registry.reg").c_str(), 1);
    ASSERT_EQ(CComObject<CTestOrv>::CreateInstance(&object_), S_OK);
    object_->AddRef();
    object_->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&disp_));
    SetErrorInfo(0, nullptr);
  }
  void TearDown() override {
    disp_->Release();
    object_->Release();
    unsetenv("ORV_REGISTRY");
    std::filesystem::remove_all(dir_);
  }

  std::filesystem::path dir_;
  CComObject<CTestOrv>* object_ = nullptr;
  IDispatch* disp_ = nullptr;
};

// The slot of a virtual member as the platform's C++ ABI records it in a
// pointer to member (the vtable offset plus one). Clients compiled
// elsewhere call by these slots, so the generated headers must keep them.
template <class M>
size_t SlotOf(M member) {
  static_assert(sizeof(M) == 2 * sizeof(void*), "a pointer to a virtual member");
  uintptr_t raw[2];
  std::memcpy(raw, &member, sizeof raw);
  return (raw[0] - 1) / sizeof(void*);
}

TEST(GeneratedHeaders, MembersSitInTheContractsVtableSlots) {
  EXPECT_EQ(SlotOf(&IUnknown::QueryInterface), 0u);
  EXPECT_EQ(SlotOf(&IUnknown::Release), 2u);
  EXPECT_EQ(SlotOf(&IDispatch::GetTypeInfoCount), 3u);
  EXPECT_EQ(SlotOf(&IDispatch::Invoke), 6u);
  EXPECT_EQ(SlotOf(&IZmOrvEnt::Connect), 7u);
  EXPECT_EQ(SlotOf(&IZmOrvEnt::GetFuturesBySymbol), 50u);
  EXPECT_EQ(SlotOf(&IZmOrvEnt::GetFuturesByRootSymbol), 51u);
  EXPECT_EQ(SlotOf(&IZmOrvEnt::GetFuturesAll), 52u);
  EXPECT_EQ(SlotOf(&IZmOrvEnt::FutConnect), 61u);
  EXPECT_EQ(SlotOf(&IZmOrvEnt::GetNstdOptionsAll), 66u);
  EXPECT_EQ(SlotOf(&IStocksEnt::get_Symbol), 7u);
  EXPECT_EQ(SlotOf(&IStocksEnt::GetStockData), 29u);
  EXPECT_EQ(SlotOf(&IStocksEnt::get_OutstandingShares), 44u);
  EXPECT_EQ(SlotOf(&INstdOptionsEnt::get_RootID), 37u);
  EXPECT_EQ(SlotOf(&IFuturesEnt::GetFuturesData), 25u);
  EXPECT_EQ(SlotOf(&IFutIVSurfacesEnt::GetIVSurfaceData), 16u);
  EXPECT_EQ(SlotOf(&IIVATMEnt::GetIVATMData), 12u);
  EXPECT_EQ(SlotOf(&IConnectionPoint::Advise), 5u);
  EXPECT_EQ(SlotOf(&IClassFactory::LockServer), 4u);
}

TEST_F(DispatchTest, NamesResolveToTheContractsDispidsWhateverTheirSlot) {
  EXPECT_EQ(IdOf(disp_, u"GetFuturesByRootSymbol"), 55);
  EXPECT_EQ(IdOf(disp_, u"GetFuturesAll"), 45);
  EXPECT_EQ(IdOf(disp_, u"getfuturesall"), 45);  // names ignore case
  EXPECT_EQ(IdOf(disp_, u"FutConnect"), 54);
  EXPECT_EQ(IdOf(disp_, u"GetNstdOptionBySymbol"), 56);

  // The table keeps the vtable order: slot 51 holds DISPID 55.
  const orvcom::InterfaceInfo* info = orvcom::InterfaceInfoOf<IZmOrvEnt>::Get();
  ASSERT_EQ(info->memberCount, 60);
  EXPECT_EQ(info->members[51 - 7].dispid, 55);
  EXPECT_STREQ(info->members[51 - 7].name, "GetFuturesByRootSymbol");
  EXPECT_EQ(info->members[52 - 7].dispid, 45);
  EXPECT_EQ(info->members[66 - 7].dispid, 60);

  // Parameter names map to their positions; an unknown one is reported.
  LPOLESTR names[] = {const_cast<LPOLESTR>(u"GetIVSurfaceUnique"), const_cast<LPOLESTR>(u"otm"),
                      const_cast<LPOLESTR>(u"Nope")};
  DISPID ids[3];
  EXPECT_EQ(disp_->GetIDsOfNames(IID_NULL, names, 3, 0, ids), DISP_E_UNKNOWNNAME);
  EXPECT_EQ(ids[0], 19);
  EXPECT_EQ(ids[1], 2);
  EXPECT_EQ(ids[2], DISPID_UNKNOWN);

  LPOLESTR unknown[] = {const_cast<LPOLESTR>(u"NoSuchMethod")};
  DISPID id = 0;
  EXPECT_EQ(disp_->GetIDsOfNames(IID_NULL, unknown, 1, 0, &id), DISP_E_UNKNOWNNAME);
  EXPECT_EQ(id, DISPID_UNKNOWN);
}

TEST_F(DispatchTest, InvokeByDispidCallsTheMemberOfThatDispid) {
  {
    Call c({Str(u"ES")});
    EXPECT_EQ(c.On(disp_, 55), S_OK);
    EXPECT_EQ(c.result.vt, VT_DISPATCH);
    EXPECT_EQ(c.result.pdispVal, nullptr);
  }
  {
    Call c({});
    EXPECT_EQ(c.On(disp_, 45), S_OK);
  }
  // Arguments of other types are converted to the declared ones.
  {
    Call c({Str(u"ibm"), I4(30), Str(u"5"), I4(enPut)});
    EXPECT_EQ(c.On(disp_, 19), S_OK);
  }
  EXPECT_EQ(object_->calls, (std::vector<std::string>{"GetFuturesByRootSymbol ES", "GetFuturesAll",
                                                      "GetIVSurfaceUnique ibm 30 5 1"}));
}

TEST_F(DispatchTest, ResultsAndOutArgumentsAreWrittenOnlyOnSuccess) {
  Call get({Str(u"MSFT")});
  ASSERT_EQ(get.On(disp_, IdOf(disp_, u"GetHV")), S_OK);
  ASSERT_EQ(get.result.vt, VT_DISPATCH);
  IDispatch* cursor = get.result.pdispVal;

  // [out] arguments by reference to their own type and to a VARIANT.
  BSTR symbol = nullptr;
  VARIANT period;
  VariantInit(&period);
  FLOAT hv = 0;
  {
    Call c({Ref(VT_BSTR, &symbol), Ref(VT_VARIANT, &period), Ref(VT_R4, &hv)});
    EXPECT_EQ(c.On(cursor, 6), S_OK);
    c.args.clear();  // by-reference arguments own nothing
  }
  EXPECT_EQ(orvcom::Narrow(symbol), "MSFT");
  EXPECT_EQ(period.vt, VT_I2);
  EXPECT_EQ(period.iVal, 30);
  EXPECT_FLOAT_EQ(hv, 0.25f);
  SysFreeString(symbol);

  // A property read is a DISPATCH_PROPERTYGET of its DISPID.
  {
    Call c({});
    EXPECT_EQ(c.On(cursor, 3, DISPATCH_PROPERTYGET), S_OK);
    EXPECT_EQ(c.result.vt, VT_R4);
    EXPECT_FLOAT_EQ(c.result.fltVal, 0.25f);
  }

  // A reference of the wrong type is refused before the member runs, and
  // argErr names it (in Invoke order: the first argument is the last).
  {
    LONG wrong = 0;
    short p2 = 0;
    FLOAT h2 = 0;
    BSTR s2 = nullptr;
    Call c({Ref(VT_BSTR, &s2), Ref(VT_I4, &wrong), Ref(VT_R4, &h2)});
    (void)p2;
    EXPECT_EQ(c.On(cursor, 6), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(c.argErr, 1u);
    c.args.clear();
  }

  // A member that fails hands nothing on, even what it had put in an [out].
  CComQIPtr<IHVEnt> typed(cursor);
  static_cast<CTestHV*>(static_cast<IHVEnt*>(typed))->failData = true;
  {
    BSTR s3 = nullptr;
    short p3 = -1;
    FLOAT h3 = -1;
    Call c({Ref(VT_BSTR, &s3), Ref(VT_I2, &p3), Ref(VT_R4, &h3)});
    EXPECT_EQ(c.On(cursor, 6, DISPATCH_METHOD, false), E_FAIL);
    EXPECT_EQ(s3, nullptr);
    EXPECT_EQ(p3, -1);
    c.args.clear();
  }
}

TEST_F(DispatchTest, AStringPassedByReferenceIsTheCallersOwn) {
  BSTR symbol = SysAllocString(u"ibm");
  Call c({Ref(VT_BSTR, &symbol)});
  EXPECT_EQ(c.On(disp_, 5), S_OK);
  c.args.clear();
  EXPECT_EQ(orvcom::Narrow(symbol), "IBM");
  SysFreeString(symbol);
}

TEST_F(DispatchTest, AFailingMemberReportsItsErrorInformation) {
  // Before registration the class has no ProgID: the source stays empty.
  {
    Call c({Str(u"joe"), Str(u"wrong")});
    EXPECT_EQ(c.On(disp_, 1), DISP_E_EXCEPTION);
    EXPECT_EQ(c.excep.scode, E_FAIL);
    EXPECT_EQ(orvcom::Narrow(c.excep.bstrDescription), "Invalid user id or password");
    EXPECT_EQ(c.excep.bstrSource, nullptr);
  }
  ASSERT_EQ(CTestOrv::UpdateRegistry(TRUE), S_OK);
  {
    Call c({Str(u"joe"), Str(u"wrong")});
    EXPECT_EQ(c.On(disp_, 1), DISP_E_EXCEPTION);
    EXPECT_EQ(orvcom::Narrow(c.excep.bstrSource), "ORVE.ZmOrvEnt.1");
  }
  // Without an EXCEPINFO the member's own code comes back and the
  // information stays with the thread.
  {
    Call c({Str(u"joe"), Str(u"wrong")});
    EXPECT_EQ(c.On(disp_, 1, DISPATCH_METHOD, false), E_FAIL);
    IErrorInfo* info = nullptr;
    ASSERT_EQ(GetErrorInfo(0, &info), S_OK);
    BSTR d = nullptr;
    info->GetDescription(&d);
    EXPECT_EQ(orvcom::Narrow(d), "Invalid user id or password");
    SysFreeString(d);
    info->Release();
    EXPECT_EQ(GetErrorInfo(0, &info), S_FALSE);  // handed over once
  }
  // A member's own DISP_E_* answer is not turned into an exception.
  {
    Call c({I4(7), I4(1), I4(0)});
    EXPECT_EQ(c.On(disp_, 29), DISP_E_TYPEMISMATCH);
  }
}

TEST_F(DispatchTest, BadCallsGetTheDispatchErrors) {
  struct Case {
    const char* what;
    DISPID id;
    WORD flags;
    std::vector<VARIANT> args;
    HRESULT expected;
    UINT argErr;
  };
  VARIANT empty;
  VariantInit(&empty);
  std::vector<Case> cases;
  cases.push_back({"too few", 1, DISPATCH_METHOD, {Str(u"joe")}, DISP_E_BADPARAMCOUNT, 12345});
  cases.push_back({"too many", 45, DISPATCH_METHOD, {I4(1)}, DISP_E_BADPARAMCOUNT, 12345});
  cases.push_back({"text for a short", 19, DISPATCH_METHOD,
                   {Str(u"IBM"), Str(u"thirty"), I4(1), I4(0)}, DISP_E_TYPEMISMATCH, 2});
  cases.push_back({"short overflow", 19, DISPATCH_METHOD, {Str(u"IBM"), I4(70000), I4(1), I4(0)},
                   DISP_E_OVERFLOW, 2});
  cases.push_back({"unknown dispid", 99, DISPATCH_METHOD, {}, DISP_E_MEMBERNOTFOUND, 12345});
  cases.push_back({"put of a method", 45, DISPATCH_PROPERTYPUT, {}, DISP_E_MEMBERNOTFOUND, 12345});
  for (Case& k : cases) {
    Call c(k.args);
    EXPECT_EQ(c.On(disp_, k.id, k.flags), k.expected) << k.what;
    EXPECT_EQ(c.argErr, k.argErr) << k.what;
  }
  EXPECT_TRUE(object_->calls.empty());

  Call named({Str(u"joe"), Str(u"secret")});
  DISPID which[] = {0};
  named.params.rgdispidNamedArgs = which;
  named.params.cNamedArgs = 1;
  EXPECT_EQ(named.On(disp_, 1), DISP_E_NONAMEDARGS);

  const GUID other = IID_IDispatch;
  EXPECT_EQ(disp_->Invoke(45, other, 0, DISPATCH_METHOD, &named.params, nullptr, nullptr, nullptr),
            DISP_E_UNKNOWNINTERFACE);
  EXPECT_EQ(disp_->Invoke(45, IID_NULL, 0, DISPATCH_METHOD, nullptr, nullptr, nullptr, nullptr),
            E_INVALIDARG);
}

TEST_F(DispatchTest, AVariantArgumentReachesTheMemberAsItCame) {
  SAFEARRAY* sa = SafeArrayCreateVector(VT_BSTR, 5, 3);
  LONG i = 5;
  BSTR ibm = SysAllocString(u"IBM");
  SafeArrayPutElement(sa, &i, ibm);  // copied in
  SysFreeString(ibm);
  i = 7;
  BSTR msft = SysAllocString(u"MSFT");
  SafeArrayPutElement(sa, &i, msft);
  SysFreeString(msft);
  VARIANT arr;
  VariantInit(&arr);
  arr.vt = VT_ARRAY | VT_BSTR;
  arr.parray = sa;
  Call c({arr, I4(enEquity), I4(enStockData)});
  EXPECT_EQ(c.On(disp_, 29), S_OK);
  ASSERT_EQ(object_->calls.size(), 1u);
  EXPECT_EQ(object_->calls[0], "SubscribeGroup IBM (null) MSFT");  // null elements stay null

  // An array of another element type reaches the member, which refuses it.
  VARIANT longs;
  VariantInit(&longs);
  longs.vt = VT_ARRAY | VT_I4;
  longs.parray = SafeArrayCreateVector(VT_I4, 0, 2);
  Call wrong({longs, I4(enEquity), I4(enStockData)});
  EXPECT_EQ(wrong.On(disp_, 29), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(object_->calls.size(), 1u);
}

TEST_F(DispatchTest, ClientWrappersRaiseComErrorsAndReturnResults) {
  IZmOrvEntPtr orv(static_cast<IZmOrvEnt*>(object_));
  EXPECT_EQ(orv->Connect("joe", "secret"), S_OK);
  try {
    orv->Connect("joe", "wrong");
    FAIL() << "no _com_error";
  } catch (const _com_error& e) {
    EXPECT_EQ(e.Error(), E_FAIL);
    EXPECT_STREQ(static_cast<const char*>(e.Description()), "Invalid user id or password");
    EXPECT_STRNE(e.ErrorMessage(), "");
  }
  EXPECT_EQ(orv->IsSymbolSubscribed("IBM", enEquity, enStockData), VARIANT_TRUE);
  IHVEntPtr hv = orv->GetHV("AAPL");
  ASSERT_TRUE(hv);
  EXPECT_STREQ(static_cast<const char*>(hv->GetSymbol()), "AAPL");
  EXPECT_EQ(hv->GetPeriod(), 30);
  // A cursor's failure without error information still raises.
  static_cast<CTestHV*>(static_cast<IHVEnt*>(hv))->failData = true;
  BSTR s = nullptr;
  SHORT p = 0;
  FLOAT f = 0;
  EXPECT_THROW(hv->GetHVData(&s, &p, &f), _com_error);
  EXPECT_TRUE(s == nullptr || (SysFreeString(s), true));

  // Assigning another interface asks for this one.
  IHVEntPtr again;
  again = static_cast<IDispatch*>(static_cast<IHVEnt*>(hv));
  EXPECT_EQ(again.GetInterfacePtr(), hv.GetInterfacePtr());
  again = static_cast<IDispatch*>(orv);
  EXPECT_FALSE(again);

  IZmOrvEntPtr none;
  try {
    none->Disconnect();
    FAIL() << "no _com_error";
  } catch (const _com_error& e) {
    EXPECT_EQ(e.Error(), E_POINTER);
  }
}

}  // namespace
