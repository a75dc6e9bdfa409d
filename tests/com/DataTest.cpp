// BSTR, GUID text, VARIANT and SAFEARRAY, and the compiler's _bstr_t and
// _variant_t over them.
#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <thread>
#include <vector>

#include "platform/com/com.h"

namespace {

TEST(Bstr, NullAndEmptyStayDistinct) {
  BSTR empty = SysAllocString(u"");
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(SysStringLen(empty), 0u);
  EXPECT_EQ(empty[0], 0);
  EXPECT_EQ(SysStringLen(nullptr), 0u);
  EXPECT_EQ(SysAllocString(nullptr), nullptr);

  // The length is the prefix, not the first zero.
  const OLECHAR withZero[] = {u'a', 0, u'b'};
  BSTR s = SysAllocStringLen(withZero, 3);
  EXPECT_EQ(SysStringLen(s), 3u);
  EXPECT_EQ(SysStringByteLen(s), 6u);
  EXPECT_EQ(s[2], u'b');
  EXPECT_EQ(s[3], 0);
  BSTR zeroed = SysAllocStringLen(nullptr, 4);
  EXPECT_EQ(SysStringLen(zeroed), 4u);
  EXPECT_EQ(zeroed[0], 0);
  EXPECT_EQ(SysAllocStringLen(nullptr, UINT_MAX), nullptr);  // too long: no wrap
  EXPECT_TRUE(SysReAllocString(&s, u"xyz"));
  EXPECT_EQ(orvcom::Narrow(s), "xyz");
  SysFreeString(s);
  SysFreeString(zeroed);
  SysFreeString(empty);
  SysFreeString(nullptr);

  _bstr_t null;
  _bstr_t blank("");
  EXPECT_EQ(static_cast<const char*>(null), nullptr);
  EXPECT_STREQ(static_cast<const char*>(blank), "");
  EXPECT_NE(static_cast<BSTR>(blank), nullptr);
  EXPECT_TRUE(null == blank);  // equal as strings, as the compiler's support compares
  EXPECT_EQ(blank.length(), 0u);
}

TEST(Bstr, EightBitTextWidensAndNarrowsOneUnitPerByte) {
  _bstr_t latin("caf\xe9");
  EXPECT_EQ(static_cast<const OLECHAR*>(latin)[3], u'\u00e9');
  EXPECT_STREQ(static_cast<const char*>(latin), "caf\xe9");
  _bstr_t wide(u"\u20ac5");
  EXPECT_STREQ(static_cast<const char*>(wide), "?5");
  EXPECT_TRUE(_bstr_t("ABC") < _bstr_t("ABD"));
  EXPECT_TRUE(_bstr_t("AB") < _bstr_t("ABC"));
  EXPECT_EQ((_bstr_t("ab") + _bstr_t(u"cd")), _bstr_t("abcd"));
  _bstr_t shared = latin;
  BSTR taken = shared.Detach();  // shared: a copy leaves
  EXPECT_STREQ(static_cast<const char*>(latin), "caf\xe9");
  SysFreeString(taken);
}

// Symbols and texts travel as whole strings: nothing stops at a NUL inside,
// and a null string is the empty text.
TEST(Bstr, WholeStringsWidenAndNarrowWithEveryUnit) {
  const std::string bytes("A\0\xe9", 3);
  const std::u16string units = orvcom::Widen(bytes);
  EXPECT_EQ(units, std::u16string(u"A\0\u00e9", 3));
  EXPECT_EQ(orvcom::Narrow(units), bytes);
  EXPECT_EQ(orvcom::Narrow(std::u16string(u"\u20ac5")), "?5");
  BSTR withNul = SysAllocStringLen(u"AB\0C", 4);
  EXPECT_EQ(orvcom::BstrText(withNul), std::u16string(u"AB\0C", 4));
  const _bstr_t owner(withNul, false);
  EXPECT_EQ(orvcom::Narrow(owner), std::string("AB\0C", 4));
  EXPECT_EQ(orvcom::BstrText(nullptr), u"");
  EXPECT_EQ(orvcom::Narrow(_bstr_t()), "");
  EXPECT_EQ(orvcom::Widen(std::string()), u"");
}

TEST(Bstr, Utf8JoinsSurrogatePairsAndReplacesLoneHalves) {
  std::u16string text = u"A\u00e9\u20ac\U0001F600";
  text.push_back(char16_t(0xD800));  // a high half with nothing after it
  EXPECT_EQ(orvcom::Utf8(text.data(), text.size()), "A\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\xef\xbf\xbd");
  const std::u16string lowFirst = {char16_t(0xDC00), u'B'};
  EXPECT_EQ(orvcom::Utf8(_bstr_t(lowFirst.c_str())), "\xef\xbf\xbd" "B");
  EXPECT_EQ(orvcom::Utf8(_bstr_t()), "");
}

// Records share their strings across threads; the first 8-bit read of a
// shared string must not race another thread's.
TEST(Bstr, EightBitViewOfASharedStringIsSafeFromManyThreads) {
  for (int round = 0; round < 200; ++round) {
    const std::string expected = "SYM" + std::to_string(round);
    _bstr_t original(expected.c_str());
    std::vector<std::thread> readers;
    std::vector<int> good(4, 0);
    for (int t = 0; t < 4; ++t) {
      readers.emplace_back([copy = original, &expected, &ok = good[size_t(t)]] {
        ok = expected == static_cast<const char*>(copy);
      });
    }
    for (std::thread& r : readers) r.join();
    for (int ok : good) ASSERT_EQ(ok, 1) << expected;
    EXPECT_STREQ(static_cast<const char*>(original), expected.c_str());
  }
}

TEST(Guid, PrintsAndParsesTheRegistryForm) {
  GUID g;
  ASSERT_TRUE(orvcom::ParseGuid("{816c5aed-5b36-4c36-be13-686c018f5879}", &g));
  EXPECT_EQ(orvcom::GuidToString(g), "{816C5AED-5B36-4C36-BE13-686C018F5879}");
  OLECHAR text[39];
  EXPECT_EQ(StringFromGUID2(g, text, 39), 39);
  EXPECT_EQ(StringFromGUID2(g, text, 38), 0);
  CLSID back;
  EXPECT_EQ(CLSIDFromString(text, &back), S_OK);
  EXPECT_EQ(back, g);
  for (const char16_t* bad : {u"816C5AED-5B36-4C36-BE13-686C018F5879", u"{816C5AED-5B36-4C36-BE13-686C018F587}",
                              u"{816C5AED-5B36-4C36-BE13x686C018F5879}", u"{G16C5AED-5B36-4C36-BE13-686C018F5879}",
                              u""})
    EXPECT_EQ(CLSIDFromString(bad, &back), CO_E_CLASSSTRING) << orvcom::Narrow(bad);
}

TEST(Variant, CopyAndClearOwnWhatTheyHold) {
  struct Counted : IDispatch {
    STDMETHOD(QueryInterface)(REFIID, void** p) override {
      *p = this;
      ++refs;
      return S_OK;
    }
    STDMETHOD_(ULONG, AddRef)() override { return ++refs; }
    STDMETHOD_(ULONG, Release)() override { return --refs; }
    STDMETHOD(GetTypeInfoCount)(UINT*) override { return E_NOTIMPL; }
    STDMETHOD(GetTypeInfo)(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    STDMETHOD(GetIDsOfNames)(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    STDMETHOD(Invoke)(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
      return E_NOTIMPL;
    }
    int refs = 1;
  } object;
  {
    CComVariant a(static_cast<IDispatch*>(&object));
    EXPECT_EQ(object.refs, 2);
    CComVariant b(a);
    EXPECT_EQ(object.refs, 3);
    VARIANT byRef;
    VariantInit(&byRef);
    byRef.vt = VT_BYREF | VT_DISPATCH;
    IDispatch* p = &object;
    byRef.ppdispVal = &p;
    EXPECT_EQ(VariantClear(&byRef), S_OK);  // a reference owns nothing
    EXPECT_EQ(object.refs, 3);
  }
  EXPECT_EQ(object.refs, 1);

  CComVariant s(u"text");
  CComVariant copy(s);
  EXPECT_NE(copy.bstrVal, s.bstrVal);
  CComVariant nullString;
  nullString.vt = VT_BSTR;
  nullString.bstrVal = nullptr;
  CComVariant nullCopy(nullString);
  EXPECT_EQ(nullCopy.vt, VT_BSTR);
  EXPECT_EQ(nullCopy.bstrVal, nullptr);

  VARIANT bad;
  VariantInit(&bad);
  bad.vt = 0x77;
  EXPECT_EQ(VariantClear(&bad), DISP_E_BADVARTYPE);
}

TEST(Variant, ChangeTypeCoversTheSystemsConversions) {
  struct Case {
    VARIANT from;
    VARTYPE to;
    HRESULT hr;
    double number;  // the result as a number, for numeric targets
    const char* text;  // the result, for VT_BSTR
  };
  auto i4 = [](LONG v) { VARIANT x; VariantInit(&x); x.vt = VT_I4; x.lVal = v; return x; };
  auto r8 = [](double v) { VARIANT x; VariantInit(&x); x.vt = VT_R8; x.dblVal = v; return x; };
  auto str = [](const char16_t* t) { VARIANT x; VariantInit(&x); x.vt = VT_BSTR; x.bstrVal = SysAllocString(t); return x; };
  auto boolean = [](bool b) { VARIANT x; VariantInit(&x); x.vt = VT_BOOL; x.boolVal = b ? VARIANT_TRUE : VARIANT_FALSE; return x; };
  VARIANT empty;
  VariantInit(&empty);
  VARIANT null;
  VariantInit(&null);
  null.vt = VT_NULL;
  std::vector<Case> cases = {
      {i4(12), VT_I2, S_OK, 12, nullptr},
      {i4(40000), VT_I2, DISP_E_OVERFLOW, 0, nullptr},
      {r8(2.5), VT_I4, S_OK, 2, nullptr},  // halves go to the even neighbour
      {r8(3.5), VT_I4, S_OK, 4, nullptr},
      {r8(1e300), VT_R4, DISP_E_OVERFLOW, 0, nullptr},
      {str(u" 42 "), VT_I4, S_OK, 42, nullptr},
      {str(u"4x"), VT_I4, DISP_E_TYPEMISMATCH, 0, nullptr},
      {str(u"0x10"), VT_I4, DISP_E_TYPEMISMATCH, 0, nullptr},
      {str(u""), VT_R8, DISP_E_TYPEMISMATCH, 0, nullptr},
      {str(u"True"), VT_BOOL, S_OK, -1, nullptr},
      {empty, VT_I4, S_OK, 0, nullptr},
      {null, VT_I4, DISP_E_TYPEMISMATCH, 0, nullptr},
      {boolean(true), VT_I2, S_OK, -1, nullptr},
      {i4(7), VT_DATE, S_OK, 7, nullptr},
      {i4(-5), VT_BSTR, S_OK, 0, "-5"},
      {r8(0.125), VT_BSTR, S_OK, 0, "0.125"},
      {boolean(true), VT_BSTR, S_OK, 0, "-1"},
      {empty, VT_BSTR, S_OK, 0, ""},
      {i4(1), VT_DISPATCH, DISP_E_TYPEMISMATCH, 0, nullptr},
  };
  for (size_t k = 0; k < cases.size(); ++k) {
    Case& c = cases[k];
    VARIANT out;
    VariantInit(&out);
    EXPECT_EQ(VariantChangeType(&out, &c.from, 0, c.to), c.hr) << "case " << k;
    if (SUCCEEDED(c.hr)) {
      EXPECT_EQ(out.vt, c.to) << "case " << k;
      if (c.text) {
        EXPECT_EQ(orvcom::Narrow(out.bstrVal), c.text) << "case " << k;
      } else {
        VARIANT n;
        VariantInit(&n);
        ASSERT_EQ(VariantChangeType(&n, &out, 0, VT_R8), S_OK);
        EXPECT_EQ(n.dblVal, c.number) << "case " << k;
      }
    } else {
      EXPECT_EQ(out.vt, VT_EMPTY) << "case " << k;
    }
    VariantClear(&out);
    VariantClear(&c.from);
  }

  // In place, and from a reference.
  VARIANT v = str(u"17");
  EXPECT_EQ(VariantChangeType(&v, &v, 0, VT_I2), S_OK);
  EXPECT_EQ(v.vt, VT_I2);
  EXPECT_EQ(v.iVal, 17);
  LONG target = 99;
  VARIANT ref;
  VariantInit(&ref);
  ref.vt = VT_BYREF | VT_I4;
  ref.plVal = &target;
  VARIANT out;
  VariantInit(&out);
  EXPECT_EQ(VariantChangeType(&out, &ref, 0, VT_R8), S_OK);
  EXPECT_EQ(out.dblVal, 99);

  _variant_t text("12.5");
  EXPECT_DOUBLE_EQ(static_cast<double>(text), 12.5);
  _variant_t word("twelve");
  EXPECT_THROW(static_cast<void>(static_cast<LONG>(word)), _com_error);
}

TEST(SafeArray, AnyLowerBoundWithCheckedIndices) {
  SAFEARRAY* sa = SafeArrayCreateVector(VT_BSTR, 5, 3);
  ASSERT_NE(sa, nullptr);
  LONG lb = 0, ub = 0;
  EXPECT_EQ(SafeArrayGetDim(sa), 1u);
  EXPECT_EQ(SafeArrayGetLBound(sa, 1, &lb), S_OK);
  EXPECT_EQ(SafeArrayGetUBound(sa, 1, &ub), S_OK);
  EXPECT_EQ(lb, 5);
  EXPECT_EQ(ub, 7);
  EXPECT_EQ(SafeArrayGetUBound(sa, 2, &ub), DISP_E_BADINDEX);
  VARTYPE vt = 0;
  EXPECT_EQ(SafeArrayGetVartype(sa, &vt), S_OK);
  EXPECT_EQ(vt, VT_BSTR);

  BSTR value = SysAllocString(u"IBM");
  for (LONG i : {LONG(4), LONG(8), LONG(INT_MIN), LONG(INT_MAX)}) {
    EXPECT_EQ(SafeArrayPutElement(sa, &i, value), DISP_E_BADINDEX) << i;
    BSTR out = nullptr;
    EXPECT_EQ(SafeArrayGetElement(sa, &i, &out), DISP_E_BADINDEX) << i;
  }
  LONG i = 6;
  EXPECT_EQ(SafeArrayPutElement(sa, &i, value), S_OK);
  SysFreeString(value);  // the array holds its own copy
  BSTR got = nullptr;
  EXPECT_EQ(SafeArrayGetElement(sa, &i, &got), S_OK);
  EXPECT_EQ(orvcom::Narrow(got), "IBM");
  SysFreeString(got);
  i = 5;
  got = reinterpret_cast<BSTR>(1);
  EXPECT_EQ(SafeArrayGetElement(sa, &i, &got), S_OK);
  EXPECT_EQ(got, nullptr);  // an element never set is a null string

  SAFEARRAY* copy = nullptr;
  EXPECT_EQ(SafeArrayCopy(sa, &copy), S_OK);
  i = 6;
  EXPECT_EQ(SafeArrayGetElement(copy, &i, &got), S_OK);
  EXPECT_EQ(orvcom::Narrow(got), "IBM");
  SysFreeString(got);

  void* data = nullptr;
  EXPECT_EQ(SafeArrayAccessData(sa, &data), S_OK);
  EXPECT_EQ(SafeArrayDestroy(sa), DISP_E_ARRAYISLOCKED);
  EXPECT_EQ(SafeArrayUnaccessData(sa), S_OK);
  EXPECT_EQ(SafeArrayUnaccessData(sa), E_UNEXPECTED);
  EXPECT_EQ(SafeArrayDestroy(sa), S_OK);

  // A VARIANT owns its array: clearing it destroys the copy.
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_ARRAY | VT_BSTR;
  v.parray = copy;
  EXPECT_EQ(VariantClear(&v), S_OK);
}

TEST(SafeArray, EdgeBoundsAndOtherElementTypes) {
  SAFEARRAY* none = SafeArrayCreateVector(VT_BSTR, 5, 0);
  ASSERT_NE(none, nullptr);
  LONG ub = 0;
  SafeArrayGetUBound(none, 1, &ub);
  EXPECT_EQ(ub, 4);  // empty: one below the lower bound
  LONG i = 5;
  BSTR out = nullptr;
  EXPECT_EQ(SafeArrayGetElement(none, &i, &out), DISP_E_BADINDEX);
  SafeArrayDestroy(none);

  // Bounds whose upper end would not fit a LONG are refused.
  EXPECT_EQ(SafeArrayCreateVector(VT_BSTR, INT_MAX, 2), nullptr);
  SAFEARRAY* top = SafeArrayCreateVector(VT_I4, INT_MAX, 1);
  ASSERT_NE(top, nullptr);
  i = INT_MAX;
  LONG n = 3;
  EXPECT_EQ(SafeArrayPutElement(top, &i, &n), S_OK);
  SafeArrayDestroy(top);
  EXPECT_EQ(SafeArrayCreateVector(VT_DISPATCH + 100, 0, 1), nullptr);
  SAFEARRAYBOUND two[2] = {{1, 0}, {1, 0}};
  EXPECT_EQ(SafeArrayCreate(VT_BSTR, 2, two), nullptr);

  SAFEARRAY* longs = SafeArrayCreateVector(VT_I4, 0, 2);
  VARTYPE vt = 0;
  SafeArrayGetVartype(longs, &vt);
  EXPECT_EQ(vt, VT_I4);  // what a caller checks before reading strings
  SafeArrayDestroy(longs);
}

}  // namespace
