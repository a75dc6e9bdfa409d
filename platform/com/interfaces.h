// The standard interfaces the system uses, with their vtable order and
// identifiers as clients and servers of other builds expect them.
#pragma once

#include "platform/com/types.h"

struct IUnknown {
  STDMETHOD(QueryInterface)(REFIID riid, void** ppvObject) = 0;
  STDMETHOD_(ULONG, AddRef)() = 0;
  STDMETHOD_(ULONG, Release)() = 0;
};
typedef IUnknown* LPUNKNOWN;

struct IClassFactory : public IUnknown {
  STDMETHOD(CreateInstance)(IUnknown* outer, REFIID riid, void** ppvObject) = 0;
  STDMETHOD(LockServer)(BOOL lock) = 0;
};

struct ITypeInfo;  // never implemented: the dispatch tables stand in for it
struct tagVARIANT;
typedef tagVARIANT VARIANT;
typedef VARIANT VARIANTARG;
struct DISPPARAMS;
struct EXCEPINFO;

struct IDispatch : public IUnknown {
  STDMETHOD(GetTypeInfoCount)(UINT* pctinfo) = 0;
  STDMETHOD(GetTypeInfo)(UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo) = 0;
  STDMETHOD(GetIDsOfNames)(REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID lcid,
                           DISPID* rgDispId) = 0;
  STDMETHOD(Invoke)(DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags,
                    DISPPARAMS* pDispParams, VARIANT* pVarResult, EXCEPINFO* pExcepInfo,
                    UINT* puArgErr) = 0;
};
typedef IDispatch* LPDISPATCH;

struct IErrorInfo : public IUnknown {
  STDMETHOD(GetGUID)(GUID* pGUID) = 0;
  STDMETHOD(GetSource)(BSTR* pBstrSource) = 0;
  STDMETHOD(GetDescription)(BSTR* pBstrDescription) = 0;
  STDMETHOD(GetHelpFile)(BSTR* pBstrHelpFile) = 0;
  STDMETHOD(GetHelpContext)(DWORD* pdwHelpContext) = 0;
};

struct ICreateErrorInfo : public IUnknown {
  STDMETHOD(SetGUID)(REFGUID rguid) = 0;
  STDMETHOD(SetSource)(LPOLESTR szSource) = 0;
  STDMETHOD(SetDescription)(LPOLESTR szDescription) = 0;
  STDMETHOD(SetHelpFile)(LPOLESTR szHelpFile) = 0;
  STDMETHOD(SetHelpContext)(DWORD dwHelpContext) = 0;
};

struct ISupportErrorInfo : public IUnknown {
  STDMETHOD(InterfaceSupportsErrorInfo)(REFIID riid) = 0;
};

struct IConnectionPointContainer;
struct IEnumConnections;       // enumeration is not offered (E_NOTIMPL)
struct IEnumConnectionPoints;  // likewise

struct IConnectionPoint : public IUnknown {
  STDMETHOD(GetConnectionInterface)(IID* pIID) = 0;
  STDMETHOD(GetConnectionPointContainer)(IConnectionPointContainer** ppCPC) = 0;
  STDMETHOD(Advise)(IUnknown* pUnkSink, DWORD* pdwCookie) = 0;
  STDMETHOD(Unadvise)(DWORD dwCookie) = 0;
  STDMETHOD(EnumConnections)(IEnumConnections** ppEnum) = 0;
};

struct IConnectionPointContainer : public IUnknown {
  STDMETHOD(EnumConnectionPoints)(IEnumConnectionPoints** ppEnum) = 0;
  STDMETHOD(FindConnectionPoint)(REFIID riid, IConnectionPoint** ppCP) = 0;
};

extern const IID IID_IUnknown;
extern const IID IID_IClassFactory;
extern const IID IID_IDispatch;
extern const IID IID_IErrorInfo;
extern const IID IID_ICreateErrorInfo;
extern const IID IID_ISupportErrorInfo;
extern const IID IID_IConnectionPoint;
extern const IID IID_IConnectionPointContainer;

ORVCOM_DECLARE_UUID(IUnknown, IID_IUnknown)
ORVCOM_DECLARE_UUID(IClassFactory, IID_IClassFactory)
ORVCOM_DECLARE_UUID(IDispatch, IID_IDispatch)
ORVCOM_DECLARE_UUID(IErrorInfo, IID_IErrorInfo)
ORVCOM_DECLARE_UUID(ICreateErrorInfo, IID_ICreateErrorInfo)
ORVCOM_DECLARE_UUID(ISupportErrorInfo, IID_ISupportErrorInfo)
ORVCOM_DECLARE_UUID(IConnectionPoint, IID_IConnectionPoint)
ORVCOM_DECLARE_UUID(IConnectionPointContainer, IID_IConnectionPointContainer)
