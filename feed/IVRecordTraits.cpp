#include "feed/IVRecordTraits.h"

#include <string_view>

namespace {

const char* TypeText(LONG type) { return type == 0 ? "C" : "P"; }

}  // namespace

void IVRecordTraits<IVIndexRecord>::ApplyField(IVIndexRecord& r, const FieldValue& v) {
  switch (v.id) {
    case F_TERM: r.Term = static_cast<SHORT>(v.AsInt()); break;
    case F_IVX_CALL: r.IVIndexCall = v.AsFloat(); break;
    case F_IVX_PUT: r.IVIndexPut = v.AsFloat(); break;
    default: break;
  }
}

void IVRecordTraits<IVIndexRecord>::BindInsert(CSqliteStatement& s, const char* symbol, const IVIndexRecord& r) {
  s.BindText(1, symbol);
  s.BindInt(2, r.Term);
  s.BindDouble(3, r.IVIndexCall);
  s.BindDouble(4, r.IVIndexPut);
}

void IVRecordTraits<IVIndexRecord>::BindUpdate(CSqliteStatement& s, const char* symbol, const IVIndexRecord& r) {
  s.BindDouble(1, r.IVIndexCall);
  s.BindDouble(2, r.IVIndexPut);
  s.BindInt(3, r.Term);
  s.BindText(4, symbol);
}

void IVRecordTraits<IVIndexRecord>::ReadRow(const CSqliteQuery& q, IVIndexRecord& r) {
  r.Symbol = q.TextAt(0);
  r.Term = static_cast<SHORT>(q.IntAt(1));
  r.IVIndexCall = q.FloatAt(2);
  r.IVIndexPut = q.FloatAt(3);
}

void IVRecordTraits<IVSurfaceRecord>::ApplyField(IVSurfaceRecord& r, const FieldValue& v) {
  switch (v.id) {
    case F_TERM: r.Term = static_cast<SHORT>(v.AsInt()); break;
    // A whole number from the equities service, a float from the futures one.
    case F_OTM: r.Otm = v.format.encoding == FieldEncoding::kFloat ? v.AsFloat() : static_cast<float>(v.AsInt()); break;
    case F_OPTION_TYPE: r.Type = v.AsChar() == 'C' ? 0 : 1; break;
    case F_IV: r.IV = v.AsFloat(); break;
    case F_DELTA: r.Delta = v.AsFloat(); break;
    case F_VSTRIKE: r.VirtualStrike = v.AsFloat(); break;
    default: break;
  }
}

void IVRecordTraits<IVSurfaceRecord>::BindInsert(CSqliteStatement& s, const char* symbol,
                                                 const IVSurfaceRecord& r) {
  s.BindText(1, symbol);
  s.BindInt(2, r.Term);
  // Bound as a number of its own: the INTEGER column keeps a whole level as
  // an integer and a fractional one (futures) as it came.
  s.BindDouble(3, r.Otm);
  s.BindText(4, TypeText(r.Type));
  s.BindDouble(5, r.VirtualStrike);
  s.BindDouble(6, r.IV);
  s.BindDouble(7, r.Delta);
}

void IVRecordTraits<IVSurfaceRecord>::BindUpdate(CSqliteStatement& s, const char* symbol,
                                                 const IVSurfaceRecord& r) {
  s.BindDouble(1, r.VirtualStrike);
  s.BindDouble(2, r.IV);
  s.BindDouble(3, r.Delta);
  s.BindInt(4, r.Term);
  s.BindDouble(5, r.Otm);
  s.BindText(6, TypeText(r.Type));
  s.BindText(7, symbol);
}

void IVRecordTraits<IVSurfaceRecord>::ReadRow(const CSqliteQuery& q, IVSurfaceRecord& r) {
  r.Symbol = q.TextAt(0);
  r.Term = static_cast<SHORT>(q.IntAt(1));
  // Read as a number, not an integer, so that a futures level of 2.5 comes
  // back as 2.5.
  r.Otm = q.FloatAt(2, std::numeric_limits<float>::quiet_NaN());
  r.Type = std::string_view(q.TextAt(3)) == "C" ? 0 : 1;
  r.VirtualStrike = q.FloatAt(4);
  r.IV = q.FloatAt(5);
  r.Delta = q.FloatAt(6);
}
