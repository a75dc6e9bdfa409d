// What the query methods of the main object share: the run of one query in
// the main object's frame, handing the result set out as a new cursor, and
// picking the records of a filtered query.
#pragma once

#include <algorithm>
#include <iterator>
#include <vector>

#include "platform/com/com.h"
#include "platform/log/Log.h"
#include "server/CZmOrvEnt.h"
#include "server/CursorSupport.h"

namespace orvsrv {

// Makes a cursor of class C over records and hands its interface (iid) to
// the caller. The caller's pointer is written only once the cursor holds
// the records, so a failure on the way hands out nothing. For a null out
// pointer no cursor is made: nobody could ever release it.
template <class C, class I>
void HandOutCursor(const std::vector<typename C::RecordType>& records, REFIID iid, I** out) {
  if (out == nullptr) return;
  *out = NewCursor<C, I>(records, iid).Detach();
}

// Copies of the records that keep accepts, in their order.
template <class R, class Keep>
std::vector<R> KeepIf(const std::vector<R>& records, Keep keep) {
  std::vector<R> kept;
  std::copy_if(records.begin(), records.end(), std::back_inserter(kept), keep);
  return kept;
}

// One query that hands out a cursor of class C: the started line (with the
// symbol as the caller gave it, when the method takes one: param names it),
// then in the frame the records that fetch gets from the session, their
// order (when less is given), "Not found" for none, and the cursor.
template <class C, class I, class Fetch>
HRESULT Query(CZmOrvEnt* self, const char* name, const char* param, BSTR symbol, unsigned flags, REFIID iid,
              I** out, Fetch fetch,
              bool (*less)(const typename C::RecordType&, const typename C::RecordType&) = nullptr) {
  if (param != nullptr) {
    ORV_LOG(orvlog::kTrace,
            "CZmOrvEnt::" << name << "() started params: " << param << " = " << orvcom::Narrow(orvcom::BstrText(symbol)));
    flags |= CZmOrvEnt::kTakesSymbol;
  } else {
    ORV_LOG(orvlog::kTrace, "CZmOrvEnt::" << name << "() started");
  }
  return self->CallInFrame(name, symbol, flags, [&](CDataHolder& session) {
    std::vector<typename C::RecordType> records;
    fetch(session, records);
    if (less != nullptr) std::sort(records.begin(), records.end(), less);
    if (records.empty()) CZmOrvEnt::RaiseError("Not found");
    HandOutCursor<C>(records, iid, out);
    return S_OK;
  });
}

}  // namespace orvsrv
