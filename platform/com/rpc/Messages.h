// The bodies of the transport's frames, one writer and one reader for each
// part of each operation: the proxy writes a request with the same code
// that the stub reads it with, and the stub's reply is read back by the
// function written beside its writer. Frames around them: Wire.h.
//
//   request   u8 op | u64 object id | IID | the operation's arguments
//   reply     i32 HRESULT | u32 payload length | payload | error information
//             (when the HRESULT fails)
//   release   u64 object id | u32 count; its frame carries the id of the
//             call being served when it was made, else 0
//
// Writers of values throw std::invalid_argument for a value the wire does
// not carry; readers throw DecodeError for a body that does not hold what
// it should. Readers that end a body check that nothing trails it, except
// where noted: those bodies have always been read leniently.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/com/com.h"
#include "platform/com/rpc/Values.h"
#include "platform/com/rpc/Wire.h"

namespace orvrpc {

class Connection;

// The operations of a request body.
enum class Op : uint8_t {
  kGetRoot = 1,        // the object the connection was opened for (a class object)
  kQueryInterface = 2,
  kCall = 3,           // a typed member call, by member index of the interface's table
  kInvoke = 4,         // IDispatch::Invoke
  kGetIDsOfNames = 5,
  kGetTypeInfoCount = 6,
  kCreateInstance = 7,  // IClassFactory
  kLockServer = 8,
  kFindConnectionPoint = 9,  // IConnectionPointContainer
  kGetConnectionInterface = 10,  // IConnectionPoint
  kAdvise = 11,
  kUnadvise = 12,
  kSupportsErrorInfo = 13,  // ISupportErrorInfo
};

// A reply as the caller gets it: the HRESULT and the operation's payload.
// A failing reply's error information has already been set on the calling
// thread when Call returns.
struct Reply {
  HRESULT hr = S_OK;
  std::string body;
  size_t offset = 0;  // where the payload starts
  size_t length = 0;
  Reader Payload() const { return Reader(body.data() + offset, length); }

  Reply() = default;
  Reply(Reply&&) = default;
  Reply& operator=(Reply&&) = default;
  // A large body's buffer is kept for the next large message.
  ~Reply() { GiveBodyBuffer(std::move(body)); }
};

namespace msg {

// ---- the envelopes ----

struct RequestHead {
  Op op = Op::kGetRoot;
  uint64_t objectId = 0;
  IID iid = GUID_NULL;
};
void WriteRequestHead(Writer& w, Op op, uint64_t objectId, const IID& iid);
RequestHead ReadRequestHead(Reader& r);

// A reply's HRESULT and payload length stand before the payload, so the
// reply is begun with room for them and finished once the payload is
// written (with the thread's error information after a failing HRESULT).
constexpr size_t kReplyHeadSize = 8;
void BeginReply(Writer& w);
void FinishReply(Writer& w, HRESULT hr);
// Takes `reply->body` apart into HRESULT and payload; a failing reply's
// error information is set on the calling thread unless `carryErrorInfo`
// is false.
void ReadReply(Reply* reply, bool carryErrorInfo);

void WriteRelease(Writer& w, uint64_t objectId, uint32_t count);
void ReadRelease(const std::string& body, uint64_t* objectId, uint32_t* count);

// ---- the operations ----

// kGetRoot and kQueryInterface: the head alone (its IID the one asked
// for; the root's object id is 0), answered by one reference of that
// interface. The reply is read without the check for trailing bytes.
struct QueryInterface {
  static void WriteRequest(Writer& w, Op op, uint64_t objectId, const IID& iid) {
    WriteRequestHead(w, op, objectId, iid);
  }
  static void WriteReply(Writer& w, Connection& c, IUnknown* p, const IID& iid);
  static IUnknown* ReadReply(Reader& r, Connection& c, const IID& iid);
};

// kCall: u16 member index | the [in] parameters in declaration order;
// answered by the [out] parameters in declaration order (the retval among
// them). An interface parameter travels as u16 VARTYPE | reference of the
// parameter's interface, any other as a VARIANT.
struct Call {
  // `argv` holds, per parameter, the address of an [in] value or the [out]
  // pointer itself, as the generated proxies pass them.
  static void WriteRequest(Writer& w, Connection& c, uint64_t objectId, const orvcom::InterfaceInfo* info,
                           unsigned memberIndex, void* const* argv);
  static unsigned ReadMemberIndex(Reader& r) { return r.U16(); }
  // Fills DISPPARAMS order (last parameter first): values for [in]
  // parameters, VT_BYREF|VT_VARIANT into `outs[k]` for [out] ones.
  static void ReadArguments(Reader& r, Connection& c, const orvcom::MemberInfo& m, VARIANT* args, VARIANT* outs);
  // `outs[k]` holds [out] parameter k's value, `result` the retval's.
  static void WriteReply(Writer& w, Connection& c, const orvcom::MemberInfo& m, const VARIANT* outs,
                         const VARIANT& result);
  // Into `outs[k]` for each [out] parameter; each must have come as the
  // parameter's own type (and interface).
  static void ReadReply(Reader& r, Connection& c, const orvcom::MemberInfo& m, VARIANT* outs);
  // Hands a received [out] value to the caller's variable.
  static void Store(const orvcom::ParamInfo& p, VARIANT* v, void* out);
};

// kInvoke: i32 DISPID | IID | u32 LCID | u16 flags | u32 count | per
// argument (u8 by reference | u16 its VARTYPE when by reference | the
// value) | u32 count | the named DISPIDs | u8 result wanted | u8 exception
// wanted. Answered by u8 exception | (u16 code | source | description |
// help file | u32 help context | i32 scode when there is one) | u32
// argument error | on success: u8 result | the result | the values of the
// by-reference arguments.
struct Invoke {
  // The request as the stub serves it: `args` as the callee is given them,
  // those by reference pointing into `held`.
  struct Request {
    explicit Request(uint32_t count) : args(count), held(count), byref(count) {}
    DISPID dispid = 0;
    IID riid = GUID_NULL;
    LCID lcid = 0;
    WORD flags = 0;
    VariantVector args, held;
    std::vector<uint8_t> byref;
    std::vector<DISPID> names;
    bool wantResult = false, wantExcep = false;
  };
  static void WriteRequest(Writer& w, Connection& c, uint64_t objectId, const IID& itf, DISPID dispid,
                           const IID& riid, LCID lcid, WORD flags, const DISPPARAMS& params, bool wantResult,
                           bool wantExcep);
  // The head up to the argument count, which sizes the rest.
  static uint32_t ReadArgumentCount(Reader& r, Request* head);
  static void ReadArguments(Reader& r, Connection& c, Request* req);
  // The exception and the argument error, then on success the values; the
  // values may throw std::invalid_argument part way, so they come apart.
  static void WriteOutcome(Writer& w, bool hasExcep, const EXCEPINFO& ei, UINT argErr);
  static void WriteValues(Writer& w, Connection& c, const Request& req, const VARIANT& result);
  // `refs` gets the by-reference arguments' new values in argument order.
  static void ReadReply(Reader& r, Connection& c, HRESULT hr, const DISPPARAMS& params, EXCEPINFO* ei,
                        UINT* argErr, VARIANT* result, std::vector<VARIANT>* refs);
};

// kGetIDsOfNames: IID | u32 LCID | u32 count | the names (never null);
// answered by u32 count | the DISPIDs.
struct GetIDsOfNames {
  // False (nothing to send) when a name is null.
  static bool WriteRequest(Writer& w, uint64_t objectId, const IID& itf, const IID& riid, LCID lcid,
                           LPOLESTR* names, UINT count);
  static void ReadRequest(Reader& r, IID* riid, LCID* lcid, std::vector<std::u16string>* names);
  static void WriteReply(Writer& w, const std::vector<DISPID>& ids);
  // Exactly `count` DISPIDs, into `ids`.
  static void ReadReply(Reader& r, UINT count, DISPID* ids);
};

// kGetTypeInfoCount: the head alone; answered by u32 count (read without
// the check for trailing bytes).
struct GetTypeInfoCount {
  static void WriteRequest(Writer& w, uint64_t objectId) {
    WriteRequestHead(w, Op::kGetTypeInfoCount, objectId, IID_IDispatch);
  }
  static void WriteReply(Writer& w, UINT count) { w.U32(count); }
  static UINT ReadReply(Reader& r) { return r.U32(); }
};

// kCreateInstance and kFindConnectionPoint: IID; answered by a reference
// of that interface (kCreateInstance) or of IConnectionPoint.
struct CreateInstance {
  static void WriteRequest(Writer& w, uint64_t objectId, const IID& riid);
  static IID ReadRequest(Reader& r);
};
struct FindConnectionPoint {
  static void WriteRequest(Writer& w, uint64_t objectId, const IID& riid);
  static IID ReadRequest(Reader& r);
};
// Their reply: the one reference, nothing after it.
struct InterfaceReply {
  static void Write(Writer& w, Connection& c, IUnknown* p, const IID& iid);
  // Null for a null reference.
  static IUnknown* Read(Reader& r, Connection& c, const IID& iid);
};

// kLockServer: u8 lock; answered by nothing.
struct LockServer {
  static void WriteRequest(Writer& w, uint64_t objectId, BOOL lock);
  static BOOL ReadRequest(Reader& r);
};

// kGetConnectionInterface: the head alone; answered by IID.
struct GetConnectionInterface {
  static void WriteRequest(Writer& w, uint64_t objectId) {
    WriteRequestHead(w, Op::kGetConnectionInterface, objectId, IID_IConnectionPoint);
  }
  static void WriteReply(Writer& w, const IID& iid) { WriteGuid(w, iid); }
  static IID ReadReply(Reader& r);
};

// kAdvise: a reference of the sink as IUnknown; answered by u32 cookie.
struct Advise {
  static void WriteRequest(Writer& w, Connection& c, uint64_t objectId, IUnknown* sink);
  // AddRef'd; may be null.
  static IUnknown* ReadRequest(Reader& r, Connection& c);
  static void WriteReply(Writer& w, DWORD cookie) { w.U32(cookie); }
  static DWORD ReadReply(Reader& r);
};

// kUnadvise: u32 cookie; answered by nothing.
struct Unadvise {
  static void WriteRequest(Writer& w, uint64_t objectId, DWORD cookie);
  static DWORD ReadRequest(Reader& r);
};

// kSupportsErrorInfo: IID; answered by nothing.
struct SupportsErrorInfo {
  static void WriteRequest(Writer& w, uint64_t objectId, const IID& riid);
  static IID ReadRequest(Reader& r);
};

// The reply of the operations answered by nothing.
void ReadEmptyReply(Reader& r);

}  // namespace msg

}  // namespace orvrpc
