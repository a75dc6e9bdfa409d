#include "feed/CHVDB.h"

#include <memory>
#include <string>

#include "Idl/OrvPayload.h"
#include "feed/MessageFormat.h"
#include "feed/SnapshotReply.h"
#include "platform/log/Log.h"

namespace {

void ApplyHVField(HVRecord& r, const FieldValue& v) {
  switch (v.id) {
    case F_SYMBOL: r.Symbol = std::string(v.AsText()).c_str(); break;
    case F_TERM: r.Period = static_cast<SHORT>(v.AsInt()); break;
    case F_HV_VALUE: r.HV = v.AsFloat(); break;
    default: break;
  }
}

}  // namespace

void CHVDB::GetMarketData(const _bstr_t& symbol, Orv::ZmDataManager_ptr service, std::vector<HVRecord>& out) {
  if (CORBA::is_nil(service)) {
    ORV_LOG(orvlog::kError, "ERROR: snapshot of type " << int(T_HV) << " requested without a service");
    return;
  }
  const FieldIdList list = FieldListFor(T_HV);
  const CORBA::Any fields = orvidl::FieldListAny(std::vector<std::uint8_t>(list.ids, list.ids + list.count));
  const char* text = static_cast<const char*>(symbol);
  const std::unique_ptr<CORBA::Any> reply(service->GetMarketData(orvidl::SafeStr(text), 1, T_HV, fields));
  RecordListSink<HVRecord, decltype(&ApplyHVField)> sink(out, &ApplyHVField);
  ReadSnapshotReply(reply.get(), [&](const BlockHeader& header, const uint8_t* body, const uint8_t* end) {
    return ReadBlock(*ReaderFor(T_HV, 0), body, end, header.blocks_amount, header.fields_amount, &sink);
  });
}
