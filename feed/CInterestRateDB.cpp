#include "feed/CInterestRateDB.h"

#include <memory>
#include <string>

#include "feed/MessageFormat.h"
#include "feed/RequestSnapshot.h"
#include "feed/SnapshotReply.h"

namespace {

void ApplyRateField(InterestRateRecord& r, const FieldValue& v) {
  switch (v.id) {
    case F_CURRENCY: r.Currency = std::string(v.AsText()).c_str(); break;
    case F_RATE_PERIOD: r.Period = v.AsInt(); break;
    case F_RATE: r.Rate = v.AsFloat(); break;
    default: break;
  }
}

}  // namespace

void CInterestRateDB::GetMarketData(const _bstr_t& currency, Orv::ZmDataManager_ptr service,
                                    std::vector<InterestRateRecord>& out) {
  const OLECHAR* text = static_cast<const OLECHAR*>(currency);
  const CSymbolKey key(text, 0);
  const std::unique_ptr<CORBA::Any> reply(RequestSnapshot(T_INTEREST_RATE, 1, key, service));
  RecordListSink<InterestRateRecord, decltype(&ApplyRateField)> sink(out, &ApplyRateField);
  ReadSnapshotReply(reply.get(), [&](const BlockHeader& header, const uint8_t* body, const uint8_t* end) {
    return ReadBlock(*ReaderFor(T_INTEREST_RATE, 0), body, end, header.blocks_amount, header.fields_amount, &sink);
  });
}
