// How the IV tables move their two record kinds between a message block, a
// statement's parameters and a result row. The four IV tables differ only in
// names and numbers; what depends on the record lives here.
#pragma once

#include <cmath>
#include <limits>
#include <string>
#include <tuple>

#include "feed/CSqliteQuery.h"
#include "feed/CSqliteStatement.h"
#include "feed/MessageFormat.h"
#include "server/contract/Records.h"

template <class Record>
struct IVRecordTraits;

template <>
struct IVRecordTraits<IVIndexRecord> {
  // The table's key besides the symbol: PRIMARY KEY(symbol, term).
  typedef SHORT Key;
  static Key KeyOf(const IVIndexRecord& r) { return r.Term; }
  // Every key of an index row is a value that "=" matches.
  static bool HasNullKey(const IVIndexRecord&) { return false; }
  static std::string NullKeyUpdateSql(const std::string&) { return std::string(); }

  // One value of a block; the symbol is taken by the caller.
  static void ApplyField(IVIndexRecord& r, const FieldValue& v);
  // Templates 125 / 154: symbol, term, call index, put index.
  static void BindInsert(CSqliteStatement& s, const char* symbol, const IVIndexRecord& r);
  // Templates 130 / 155: call index, put index, term, symbol.
  static void BindUpdate(CSqliteStatement& s, const char* symbol, const IVIndexRecord& r);
  // Columns symbol, term, ivx_call, ivx_put.
  static void ReadRow(const CSqliteQuery& q, IVIndexRecord& r);
};

template <>
struct IVRecordTraits<IVSurfaceRecord> {
  // PRIMARY KEY(symbol, term, otm, type); type as stored, "C" or "P". A
  // level that is not a number (bound as NULL, so never a key conflict) gets
  // one ordered stand-in, so that the key stays usable in a set.
  typedef std::tuple<SHORT, float, bool> Key;
  static Key KeyOf(const IVSurfaceRecord& r) {
    return Key(r.Term, std::isnan(r.Otm) ? -std::numeric_limits<float>::infinity() : r.Otm, r.Type == 0);
  }
  // A level that is not a number is stored as NULL, which "otm = ?" never
  // matches: such a point is updated through "otm IS ?" instead, with the
  // same parameters as the update template, or every block would add it
  // once more.
  static bool HasNullKey(const IVSurfaceRecord& r) { return std::isnan(r.Otm); }
  static std::string NullKeyUpdateSql(const std::string& table) {
    return "UPDATE " + table +
           " SET vstrike = ?, iv = ?, delta = ? WHERE term = ? AND otm IS ? AND type = ? AND symbol = ?";
  }

  static void ApplyField(IVSurfaceRecord& r, const FieldValue& v);
  // Templates 124 / 149: symbol, term, otm, type, vstrike, iv, delta.
  static void BindInsert(CSqliteStatement& s, const char* symbol, const IVSurfaceRecord& r);
  // Templates 131 / 156: vstrike, iv, delta, term, otm, type, symbol.
  static void BindUpdate(CSqliteStatement& s, const char* symbol, const IVSurfaceRecord& r);
  // Columns symbol, term, otm, type, vstrike, iv, delta. A NULL level is
  // the point that came without one: it reads back as not a number.
  static void ReadRow(const CSqliteQuery& q, IVSurfaceRecord& r);
};
