// The octets that the market-data services exchange with us: the field-id
// lists we send and the message blocks they answer with.
//
// A message is a run of blocks; a block is a 14-byte header, a field-id list
// and fixed-width records. Neither a block nor a message carries its length,
// so everything here reads against an explicit end pointer: a reply that lies
// about its counts ends the walk instead of sending a reader past the octets
// that arrived.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// Message types: the type octet of a block header and the data-type argument
// of the subscription and snapshot calls.
enum MessageType : uint8_t {
  T_EQUITY_BASE = 1,
  T_OPTION_BASE = 2,
  T_EQUITY_QUOTE = 3,
  T_OPTION_QUOTE = 4,
  T_OPTION_AD = 5,
  T_IVINDEX = 6,
  T_IVSURFACE = 7,
  T_INTEREST_RATE = 8,
  T_HV = 9,
  T_DIRECT_EQUITY_QUOTE = 10,
  T_DIRECT_OPTION_QUOTE = 11,
  T_FUTURE_BASE = 13,
  T_FUTURE_QUOTE = 14,
  T_FUTURE_OPTION_BASE = 15,
  T_FUTURE_OPTION = 16,
  T_FUTURE_IVINDEX = 20,
  T_FUTURE_IVSURFACE = 21,
  T_NSTDOPTION_BASE = 23,
  T_NSTDOPTION_QUOTE = 24,
  T_NSTDOPTION_AD = 25,
};

// Field identifiers; the width and encoding of each depend on the message
// type (FieldSpecFor).
enum FieldId : uint8_t {
  F_OPTION_SYMBOL = 1,
  F_SYMBOL = 2,
  F_TERM = 3,
  F_OTM = 4,
  F_OPTION_TYPE = 5,
  F_BID = 6,
  F_BID_DATE = 7,
  F_BID_EXCHANGE = 8,
  F_BID_SIZE = 9,
  F_ASK = 10,
  F_ASK_DATE = 11,
  F_ASK_EXCHANGE = 12,
  F_ASK_SIZE = 13,
  F_LAST = 14,
  F_LAST_DATE = 15,
  F_LAST_EXCHANGE = 16,
  F_LAST_SIZE = 17,
  F_VOLUME = 18,
  F_STOCK_TYPE = 19,
  F_DIV_DATE = 20,
  F_DIV_FREQUENCY = 21,
  F_DIV_AMOUNT = 22,
  F_CURRENCY = 23,
  F_IV = 26,
  F_DELTA = 27,
  F_VEGA = 28,
  F_GAMMA = 29,
  F_THETA = 30,
  F_RHO = 31,
  F_VSTRIKE = 32,
  F_PRE_IV = 35,
  F_IVS_RESERVED = 36,
  F_IVX_CALL = 37,
  F_IVX_PUT = 38,
  F_OPTION_STYLE = 39,
  F_EXPIRATION_DATE = 40,
  F_RATE = 41,
  F_RATE_PERIOD = 42,
  F_IVX_RESERVED = 43,
  F_STRIKE = 44,
  F_OPEN_INTEREST = 47,
  F_SOD_PRICE_CLOSE = 48,
  F_SOD_PRICE_HIGH_52WK = 49,
  F_SOD_PRICE_LOW_52WK = 50,
  F_SOD_IVX30 = 51,
  F_SOD_IVX30_YEST = 52,
  F_SOD_IVX30_HIGH_52WK = 53,
  F_SOD_IVX30_LOW_52WK = 54,
  F_SOD_HV20 = 55,
  F_SOD_HV20_YEST = 56,
  F_SOD_HV20_HIGH_52WK = 57,
  F_SOD_HV20_LOW_52WK = 58,
  F_SOD_VOLUME_CALL = 59,
  F_SOD_VOLUME_PUT = 60,
  F_SOD_OPT_VOLUME_AVG = 61,
  F_HV_VALUE = 62,
  F_SOD_OUTSTANDING_SHARES = 63,
  F_ROOT_SYMBOL = 74,
  F_FUTURE_SYMBOL = 75,
  F_FUTURE_OPTION_SYMBOL = 84,
  F_ROOT_ID = 87,
};

constexpr size_t kBlockHeaderSize = 14;
constexpr size_t kSymbolWidth = 12;
constexpr size_t kWideSymbolWidth = 64;

enum class FieldEncoding : uint8_t {
  kUnknown = 0,  // the reader of this type does not know the id
  kFloat,
  kDouble,
  kInt16,
  kInt32,
  kChar,
  kText,
  kSkip,  // advanced over, nothing kept
};

struct FieldSpec {
  FieldEncoding encoding = FieldEncoding::kUnknown;
  uint8_t width = 0;
  bool Known() const { return encoding != FieldEncoding::kUnknown; }
};

// One value of a record, pointing into the message. Valid while the message
// buffer lives.
struct FieldValue {
  uint8_t id = 0;
  FieldSpec format;
  const uint8_t* raw = nullptr;

  float AsFloat() const;
  double AsDouble() const;  // a float field is widened
  int32_t AsInt() const;    // 16- and 32-bit integers, sign-extended
  char AsChar() const;
  // Text up to the first zero byte, or the whole width when none.
  std::string_view AsText() const;
  // The text as UTF-16, one byte to one code unit.
  std::u16string AsUtf16() const;
};

// The 14-byte block header.
struct BlockHeader {
  uint8_t type = 0;
  uint8_t is_delayed = 0;
  uint8_t is_last = 0;
  uint16_t block_size = 0;
  uint32_t blocks_amount = 0;
  float reserved = 0.0f;
  uint8_t fields_amount = 0;
};

// Decodes the header at data when 14 bytes lie before end; false otherwise.
bool ParseBlockHeader(const uint8_t* data, const uint8_t* end, BlockHeader* out);

// The header reader of the snapshot paths: copies type, blocks_amount and
// fields_amount, writes the "Message header: ..." trace line and returns the
// start of the field-id list. Null (outputs untouched) when data is null or
// fewer than 14 bytes were received.
const uint8_t* ReadBlockHeader(const uint8_t* data, size_t length, uint8_t* type,
                               uint32_t* blocks_amount, uint8_t* fields_amount);

// The field-id list sent for a message type, when registering fields and in
// snapshot requests. Empty (ids null, count 0) for a type that has none.
struct FieldIdList {
  const uint8_t* ids = nullptr;
  size_t count = 0;
};
FieldIdList FieldListFor(uint8_t type);

// How a reader finds the key of each record.
enum class KeyRule : uint8_t {
  kNone,           // records are not keyed; a new record starts at the first id
  kFirstIdMustBe,  // the list must start with keyId; other blocks are skipped
  kFirstFieldIsKey,  // the first keyWidth bytes are the key, whatever the first id
};

// What the reader of one message type knows. Every table's reader reads
// through ReadBlock with the definition of its type.
struct BlockReaderDef {
  uint8_t type = 0;
  KeyRule rule = KeyRule::kNone;
  uint8_t keyId = 0;
  uint8_t keyWidth = 0;
  // For kFirstIdMustBe: the position in the list at which some services put
  // the key instead (the records are then read from their start, the key id
  // included); 0 when the type has no such layout.
  uint8_t altKeyIndex = 0;
  // The error line for an unknown id, completed with the id in decimal.
  const char* unknownFieldText = "";
  FieldSpec fields[256];

  const FieldSpec& Spec(uint8_t id) const { return fields[id]; }
};

// The reader definition of a message type under a protocol version (2 widens
// the option symbol to 64 bytes); null for a type that no reader knows.
const BlockReaderDef* ReaderFor(uint8_t type, int protocolVersion);

// Receives the records of a block in wire order. A keyed reader's record
// starts with its key (a text field); an unkeyed one with no key.
class IBlockSink {
 public:
  virtual ~IBlockSink() = default;
  // Called with the remaining record count before any record, so that a sink
  // can reserve; the count is already bounded by the bytes received.
  virtual void Reserve(size_t /*records*/) {}
  virtual void BeginRecord(const FieldValue* key) = 0;
  virtual void Field(const FieldValue& value) = 0;
  virtual void EndRecord() = 0;
};

// A sink that collects the records of a block into a list, each starting as
// a new record; apply(record, value) takes each field.
template <class Record, class Apply>
class RecordListSink : public IBlockSink {
 public:
  RecordListSink(std::vector<Record>& out, Apply apply) : m_out(out), m_apply(std::move(apply)) {}
  void BeginRecord(const FieldValue*) override { m_record = Record(); }
  void Field(const FieldValue& v) override { m_apply(m_record, v); }
  void EndRecord() override { m_out.push_back(m_record); }

 private:
  std::vector<Record>& m_out;
  Apply m_apply;
  Record m_record;
};

enum class BlockStatus : uint8_t {
  kRead,          // every record was handed to the sink
  kSkipped,       // the list breaks the key rule; the records were stepped over
  kUnknownField,  // an id the reader does not know: nothing was handed over
  kTruncated,     // the records would run past the octets received
  kNoData,        // null data
};

// Reads one block body (the field-id list and the records) that starts at
// data and may not reach beyond end. Returns the position just past the
// block, or null when the rest of the message cannot be read (the status says
// why; the unknown-field and truncation cases have been logged). The whole
// block is checked before the first record reaches the sink, so a block is
// applied whole or not at all. A null sink steps over the block.
const uint8_t* ReadBlock(const BlockReaderDef& def, const uint8_t* data, const uint8_t* end,
                         uint32_t blocks_amount, uint8_t fields_amount, IBlockSink* sink,
                         BlockStatus* status = nullptr);

// Walks the blocks of one message of length octets, handing each header and
// body to handler(header, body, end), which returns the position past the
// block or null to end the walk. Stops after the block with is_last set.
// Returns true when the walk reached that block, false when it ended early
// (a handler stop, a truncated header or a message without a last block,
// which is logged).
template <class Handler>
bool WalkMessage(const uint8_t* data, size_t length, Handler&& handler);

// The walk of a snapshot reply: as WalkMessage, but each header is read
// through ReadBlockHeader, which traces it, and a reply whose octets end
// just past a block is whole even when no block of it is marked last (a
// snapshot is often one block, whose flag the services do not all set).
template <class Handler>
bool WalkSnapshotMessage(const uint8_t* data, size_t length, Handler&& handler);

// Logs the end of a walk that found no last block or a truncated header.
void LogTruncatedMessage(size_t offset, size_t length);

namespace messagewalk {

template <class Handler>
bool Walk(const uint8_t* data, size_t length, Handler&& handler, bool snapshot) {
  if (data == nullptr) return false;
  const uint8_t* const end = data + length;
  const uint8_t* p = data;
  for (;;) {
    BlockHeader header;
    if (!ParseBlockHeader(p, end, &header)) {
      LogTruncatedMessage(static_cast<size_t>(p - data), length);
      return false;
    }
    if (snapshot) ReadBlockHeader(p, kBlockHeaderSize, &header.type, &header.blocks_amount, &header.fields_amount);
    const uint8_t* body = p + kBlockHeaderSize;
    const uint8_t* next = handler(static_cast<const BlockHeader&>(header), body,
                                  static_cast<const uint8_t*>(end));
    if (next == nullptr || next < body || next > end) return false;
    if (header.is_last != 0) return true;
    if (snapshot && next == end) return true;
    p = next;
  }
}

}  // namespace messagewalk

template <class Handler>
bool WalkMessage(const uint8_t* data, size_t length, Handler&& handler) {
  return messagewalk::Walk(data, length, std::forward<Handler>(handler), false);
}

template <class Handler>
bool WalkSnapshotMessage(const uint8_t* data, size_t length, Handler&& handler) {
  return messagewalk::Walk(data, length, std::forward<Handler>(handler), true);
}
