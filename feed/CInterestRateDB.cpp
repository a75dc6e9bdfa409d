#include "feed/CInterestRateDB.h"

#include <memory>
#include <string>

#include "feed/MessageFormat.h"
#include "feed/RequestSnapshot.h"
#include "feed/SnapshotReply.h"

namespace {

class RateSink : public IBlockSink {
 public:
  explicit RateSink(std::vector<InterestRateRecord>& out) : m_out(out) {}
  void BeginRecord(const FieldValue*) override { m_record = InterestRateRecord(); }
  void Field(const FieldValue& v) override {
    switch (v.id) {
      case F_CURRENCY: m_record.Currency = std::string(v.AsText()).c_str(); break;
      case F_RATE_PERIOD: m_record.Period = v.AsInt(); break;
      case F_RATE: m_record.Rate = v.AsFloat(); break;
      default: break;
    }
  }
  void EndRecord() override { m_out.push_back(m_record); }

 private:
  std::vector<InterestRateRecord>& m_out;
  InterestRateRecord m_record;
};

}  // namespace

void CInterestRateDB::GetMarketData(const _bstr_t& currency, Orv::ZmDataManager_ptr service,
                                    std::vector<InterestRateRecord>& out) {
  const OLECHAR* text = static_cast<const OLECHAR*>(currency);
  const CSymbolKey key(text, 0);
  const std::unique_ptr<CORBA::Any> reply(RequestSnapshot(T_INTEREST_RATE, 1, key, service));
  RateSink sink(out);
  ReadSnapshotReply(reply.get(), [&](const BlockHeader& header, const uint8_t* body, const uint8_t* end) {
    return ReadBlock(*ReaderFor(T_INTEREST_RATE, 0), body, end, header.blocks_amount, header.fields_amount, &sink);
  });
}
