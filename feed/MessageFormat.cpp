#include "feed/MessageFormat.h"

#include <cstring>
#include <initializer_list>

#include "platform/log/Log.h"

namespace {

// Multi-byte values are little-endian and unaligned on the wire.
uint16_t LoadU16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

uint32_t LoadU32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

uint64_t LoadU64(const uint8_t* p) {
  return static_cast<uint64_t>(LoadU32(p)) | (static_cast<uint64_t>(LoadU32(p + 4)) << 32);
}

float LoadFloat(const uint8_t* p) {
  const uint32_t bits = LoadU32(p);
  float f;
  std::memcpy(&f, &bits, sizeof f);
  return f;
}

double LoadDouble(const uint8_t* p) {
  const uint64_t bits = LoadU64(p);
  double d;
  std::memcpy(&d, &bits, sizeof d);
  return d;
}

constexpr FieldSpec Float() { return {FieldEncoding::kFloat, 4}; }
constexpr FieldSpec Double() { return {FieldEncoding::kDouble, 8}; }
constexpr FieldSpec Int16() { return {FieldEncoding::kInt16, 2}; }
constexpr FieldSpec Int32() { return {FieldEncoding::kInt32, 4}; }
constexpr FieldSpec Char() { return {FieldEncoding::kChar, 1}; }
constexpr FieldSpec Text(uint8_t width) { return {FieldEncoding::kText, width}; }
constexpr FieldSpec Skip(uint8_t width) { return {FieldEncoding::kSkip, width}; }

void SetQuoteFields(BlockReaderDef& d) {
  d.fields[F_BID] = Float();
  d.fields[F_BID_DATE] = Double();
  d.fields[F_BID_EXCHANGE] = Text(4);
  d.fields[F_BID_SIZE] = Int32();
  d.fields[F_ASK] = Float();
  d.fields[F_ASK_DATE] = Double();
  d.fields[F_ASK_EXCHANGE] = Text(4);
  d.fields[F_ASK_SIZE] = Int32();
  d.fields[F_LAST] = Float();
  d.fields[F_LAST_DATE] = Double();
  d.fields[F_LAST_EXCHANGE] = Text(4);
  d.fields[F_LAST_SIZE] = Int32();
  d.fields[F_VOLUME] = Int32();
}

void SetAnalyticsFields(BlockReaderDef& d) {
  for (uint8_t id : {F_IV, F_DELTA, F_VEGA, F_GAMMA, F_THETA, F_RHO, F_PRE_IV}) d.fields[id] = Float();
}

void Keyed(BlockReaderDef& d, KeyRule rule, uint8_t keyId, uint8_t keyWidth, uint8_t alt = 0) {
  d.rule = rule;
  d.keyId = keyId;
  d.keyWidth = keyWidth;
  d.altKeyIndex = alt;
}

// The option readers of both protocol versions; 2 widens the option symbol.
void SetOption(BlockReaderDef& d, uint8_t type, int protocolVersion) {
  const uint8_t w = protocolVersion == 2 ? kWideSymbolWidth : kSymbolWidth;
  Keyed(d, KeyRule::kFirstFieldIsKey, F_OPTION_SYMBOL, w);
  d.fields[F_OPTION_SYMBOL] = Text(w);
  const bool nstd = type >= T_NSTDOPTION_BASE;
  switch (type) {
    case T_OPTION_BASE:
    case T_NSTDOPTION_BASE:
      d.unknownFieldText = nstd ? "Unknown field CNstdOptionsDB::_ParseNstdOptionBase() "
                                : "Unknown field COptionsDB::_ParseOptionBase() ";
      d.fields[F_SYMBOL] = Text(kSymbolWidth);
      d.fields[F_OPTION_TYPE] = Char();
      d.fields[F_OPTION_STYLE] = Char();
      d.fields[F_EXPIRATION_DATE] = Float();
      d.fields[F_STRIKE] = Float();
      d.fields[F_OPEN_INTEREST] = Int32();
      break;
    case T_OPTION_QUOTE:
    case T_DIRECT_OPTION_QUOTE:
    case T_NSTDOPTION_QUOTE:
      d.unknownFieldText = nstd ? "Unknown field CNstdOptionsDB::_ParseNstdOptionQuote() "
                                : "Unknown field COptionsDB::_ParseOptionQuote() ";
      d.fields[F_SYMBOL] = Skip(kSymbolWidth);
      SetQuoteFields(d);
      break;
    default:  // analytics
      d.unknownFieldText = nstd ? "Unknown field CNstdOptionsDB::_ParseNstdOptionAD() "
                                : "Unknown field COptionsDB::_ParseOptionAD() ";
      d.fields[F_SYMBOL] = Text(kSymbolWidth);
      SetAnalyticsFields(d);
      break;
  }
  if (nstd) d.fields[F_ROOT_ID] = Int32();
}

bool Build(BlockReaderDef& d, uint8_t type, int protocolVersion) {
  d.type = type;
  switch (type) {
    case T_EQUITY_BASE:
      Keyed(d, KeyRule::kFirstIdMustBe, F_SYMBOL, kSymbolWidth);
      d.unknownFieldText = "Unknown field CStocksDB::_ParseStockBase() ";
      d.fields[F_SYMBOL] = Text(kSymbolWidth);
      d.fields[F_STOCK_TYPE] = Char();
      d.fields[F_DIV_DATE] = Float();
      d.fields[F_DIV_FREQUENCY] = Int16();
      d.fields[F_DIV_AMOUNT] = Float();
      d.fields[F_CURRENCY] = Text(5);
      for (int id = F_SOD_PRICE_CLOSE; id <= F_SOD_OPT_VOLUME_AVG; ++id) d.fields[id] = Float();
      d.fields[F_SOD_VOLUME_CALL] = Int32();
      d.fields[F_SOD_VOLUME_PUT] = Int32();
      d.fields[F_SOD_OUTSTANDING_SHARES] = Float();
      return true;
    case T_EQUITY_QUOTE:
    case T_DIRECT_EQUITY_QUOTE:
      Keyed(d, KeyRule::kFirstIdMustBe, F_SYMBOL, kSymbolWidth);
      d.unknownFieldText = "Unknown field CStocksDB::_ParseStockQuote() ";
      d.fields[F_SYMBOL] = Text(kSymbolWidth);
      SetQuoteFields(d);
      return true;
    case T_OPTION_BASE:
    case T_OPTION_QUOTE:
    case T_OPTION_AD:
    case T_DIRECT_OPTION_QUOTE:
    case T_NSTDOPTION_BASE:
    case T_NSTDOPTION_QUOTE:
    case T_NSTDOPTION_AD:
      SetOption(d, type, protocolVersion);
      return true;
    case T_IVINDEX:
    case T_FUTURE_IVINDEX:
      d.unknownFieldText = type == T_IVINDEX ? "Unknown field CIVIndexDB::_ParseIvxMessage "
                                             : "Unknown field CFutIVIndexDB::_ParseIvxMessage ";
      d.fields[F_SYMBOL] = Text(kSymbolWidth);
      d.fields[F_TERM] = Int16();
      d.fields[F_IVX_CALL] = Float();
      d.fields[F_IVX_PUT] = Float();
      d.fields[F_IVX_RESERVED] = Skip(4);
      return true;
    case T_IVSURFACE:
    case T_FUTURE_IVSURFACE:
      d.unknownFieldText = type == T_IVSURFACE ? "Unknown field CIVSurfaceDB::_ParseIvsMessage "
                                               : "Unknown field CFutIVSurfaceDB::_ParseIvsMessage ";
      d.fields[F_SYMBOL] = Text(kSymbolWidth);
      d.fields[F_TERM] = Int16();
      d.fields[F_OTM] = type == T_IVSURFACE ? Int32() : Float();
      d.fields[F_OPTION_TYPE] = Char();
      d.fields[F_VSTRIKE] = Float();
      d.fields[F_IV] = Float();
      d.fields[F_DELTA] = Float();
      d.fields[F_IVS_RESERVED] = Skip(4);
      return true;
    case T_INTEREST_RATE:
      d.unknownFieldText = "Unknown field CInterestRateDB::_ParseStockBase() ";
      d.fields[F_CURRENCY] = Text(5);
      d.fields[F_RATE_PERIOD] = Int32();
      d.fields[F_RATE] = Float();
      return true;
    case T_HV:
      d.unknownFieldText = "Unknown field CHVDB::_ParseHVMessage() ";
      d.fields[F_SYMBOL] = Text(kSymbolWidth);
      d.fields[F_TERM] = Int16();
      d.fields[F_HV_VALUE] = Float();
      return true;
    case T_FUTURE_BASE:
      Keyed(d, KeyRule::kFirstIdMustBe, F_FUTURE_SYMBOL, kWideSymbolWidth);
      d.unknownFieldText = "Unknown field CFuturesDB::_ParseFutureBase() ";
      d.fields[F_FUTURE_SYMBOL] = Text(kWideSymbolWidth);
      d.fields[F_ROOT_SYMBOL] = Text(kSymbolWidth);
      d.fields[F_EXPIRATION_DATE] = Double();
      return true;
    case T_FUTURE_QUOTE:
      // Some services put the root and the quote before the symbol: then the
      // fifteenth id is the symbol.
      Keyed(d, KeyRule::kFirstIdMustBe, F_FUTURE_SYMBOL, kWideSymbolWidth, 14);
      d.unknownFieldText = "Unknown field CFuturesDB::_ParseFutureQuote() ";
      d.fields[F_FUTURE_SYMBOL] = Text(kWideSymbolWidth);
      d.fields[F_ROOT_SYMBOL] = Text(kSymbolWidth);
      SetQuoteFields(d);
      return true;
    case T_FUTURE_OPTION_BASE:
      Keyed(d, KeyRule::kFirstFieldIsKey, F_FUTURE_OPTION_SYMBOL, kWideSymbolWidth);
      d.unknownFieldText = "Unknown field CFutureOptionsDB::_ParseOptionBase() ";
      d.fields[F_FUTURE_OPTION_SYMBOL] = Text(kWideSymbolWidth);
      d.fields[F_FUTURE_SYMBOL] = Text(kWideSymbolWidth);
      d.fields[F_OPTION_TYPE] = Char();
      d.fields[F_OPTION_STYLE] = Char();
      d.fields[F_EXPIRATION_DATE] = Double();
      d.fields[F_STRIKE] = Float();
      d.fields[F_OPEN_INTEREST] = Int32();
      return true;
    case T_FUTURE_OPTION:
      // The same for future options, with the symbol as the twenty-second id.
      Keyed(d, KeyRule::kFirstIdMustBe, F_FUTURE_OPTION_SYMBOL, kWideSymbolWidth, 21);
      d.unknownFieldText = "Unknown field CFutureOptionsDB::_ParseOptionQuote() ";
      d.fields[F_FUTURE_OPTION_SYMBOL] = Text(kWideSymbolWidth);
      d.fields[F_FUTURE_SYMBOL] = Text(kWideSymbolWidth);
      SetQuoteFields(d);
      SetAnalyticsFields(d);
      return true;
    default:
      (void)protocolVersion;
      return false;
  }
}

struct ReaderTables {
  BlockReaderDef defs[2][256];
  bool present[2][256] = {};
  ReaderTables() {
    for (int v = 0; v < 2; ++v)
      for (int t = 0; t < 256; ++t) present[v][t] = Build(defs[v][t], static_cast<uint8_t>(t), v == 1 ? 2 : 0);
  }
};

const ReaderTables& Tables() {
  static const ReaderTables tables;
  return tables;
}

// The field-id lists sent, in the order the services expect them.
const uint8_t kEquityBase[] = {2, 20, 21, 22, 23, 19, 48, 49, 50, 51, 52, 53, 54, 55, 56, 57, 58, 59, 60, 61, 63};
const uint8_t kOptionBase[] = {1, 2, 40, 44, 5, 39, 47};
const uint8_t kEquityQuote[] = {2, 6, 8, 7, 9, 10, 12, 11, 13, 14, 16, 15, 17, 18};
const uint8_t kOptionQuote[] = {1, 6, 8, 7, 9, 10, 12, 11, 13, 14, 16, 15, 17, 18};
const uint8_t kOptionAD[] = {1, 2, 26, 35, 27, 29, 28, 30, 31};
const uint8_t kIvIndex[] = {2, 3, 37, 38};
const uint8_t kIvSurface[] = {2, 3, 4, 5, 32, 26, 27};
const uint8_t kInterestRate[] = {23, 42, 41};
const uint8_t kHv[] = {2, 3, 62};
const uint8_t kFutureBase[] = {75, 74, 40};
const uint8_t kFutureQuote[] = {75, 74, 6, 8, 7, 9, 10, 12, 11, 13, 14, 16, 15, 17, 18};
const uint8_t kFutureOptionBase[] = {84, 75, 40, 44, 5, 39, 47};
const uint8_t kFutureOption[] = {84, 75, 6, 8, 7, 9, 10, 12, 11, 13, 14, 16, 15, 17, 18, 26, 35, 27, 29, 28, 30, 31};
const uint8_t kNstdOptionBase[] = {1, 2, 40, 44, 5, 39, 47, 87};
const uint8_t kNstdOptionQuote[] = {1, 6, 8, 7, 9, 10, 12, 11, 13, 14, 16, 15, 17, 18, 87};
const uint8_t kNstdOptionAD[] = {1, 2, 26, 35, 27, 29, 28, 30, 31, 87};

template <size_t N>
FieldIdList List(const uint8_t (&ids)[N]) {
  return {ids, N};
}

}  // namespace

float FieldValue::AsFloat() const {
  switch (format.encoding) {
    case FieldEncoding::kFloat: return LoadFloat(raw);
    case FieldEncoding::kDouble: return static_cast<float>(LoadDouble(raw));
    case FieldEncoding::kInt16:
    case FieldEncoding::kInt32: return static_cast<float>(AsInt());
    default: return 0.0f;
  }
}

double FieldValue::AsDouble() const {
  switch (format.encoding) {
    case FieldEncoding::kFloat: return LoadFloat(raw);
    case FieldEncoding::kDouble: return LoadDouble(raw);
    case FieldEncoding::kInt16:
    case FieldEncoding::kInt32: return AsInt();
    default: return 0.0;
  }
}

int32_t FieldValue::AsInt() const {
  switch (format.encoding) {
    case FieldEncoding::kInt16: return static_cast<int16_t>(LoadU16(raw));
    case FieldEncoding::kInt32: return static_cast<int32_t>(LoadU32(raw));
    case FieldEncoding::kChar: return static_cast<signed char>(raw[0]);
    default: return 0;
  }
}

char FieldValue::AsChar() const { return raw != nullptr && format.width > 0 ? static_cast<char>(raw[0]) : '\0'; }

std::string_view FieldValue::AsText() const {
  if (raw == nullptr) return {};
  const void* zero = std::memchr(raw, 0, format.width);
  const size_t n = zero != nullptr ? static_cast<size_t>(static_cast<const uint8_t*>(zero) - raw) : format.width;
  return std::string_view(reinterpret_cast<const char*>(raw), n);
}

std::u16string FieldValue::AsUtf16() const {
  const std::string_view text = AsText();
  std::u16string out(text.size(), u'\0');
  for (size_t i = 0; i < text.size(); ++i) out[i] = static_cast<char16_t>(static_cast<unsigned char>(text[i]));
  return out;
}

bool ParseBlockHeader(const uint8_t* data, const uint8_t* end, BlockHeader* out) {
  if (data == nullptr || end < data || static_cast<size_t>(end - data) < kBlockHeaderSize) return false;
  out->type = data[0];
  out->is_delayed = data[1];
  out->is_last = data[2];
  out->block_size = LoadU16(data + 3);
  out->blocks_amount = LoadU32(data + 5);
  out->reserved = LoadFloat(data + 9);
  out->fields_amount = data[13];
  return true;
}

const uint8_t* ReadBlockHeader(const uint8_t* data, size_t length, uint8_t* type,
                               uint32_t* blocks_amount, uint8_t* fields_amount) {
  BlockHeader h;
  if (!ParseBlockHeader(data, data == nullptr ? nullptr : data + length, &h)) return nullptr;
  *type = h.type;
  *blocks_amount = h.blocks_amount;
  *fields_amount = h.fields_amount;
  ORV_LOGF(orvlog::kTrace,
           "Message header: type: %d is_delayed: %d is_last: %d block_size: %d blocks_amount: %d fields_amount: %d",
           h.type, h.is_delayed, h.is_last, h.block_size, static_cast<int>(h.blocks_amount), h.fields_amount);
  return data + kBlockHeaderSize;
}

FieldIdList FieldListFor(uint8_t type) {
  switch (type) {
    case T_EQUITY_BASE: return List(kEquityBase);
    case T_OPTION_BASE: return List(kOptionBase);
    case T_EQUITY_QUOTE:
    case T_DIRECT_EQUITY_QUOTE: return List(kEquityQuote);
    case T_OPTION_QUOTE:
    case T_DIRECT_OPTION_QUOTE: return List(kOptionQuote);
    case T_OPTION_AD: return List(kOptionAD);
    case T_IVINDEX:
    case T_FUTURE_IVINDEX: return List(kIvIndex);
    case T_IVSURFACE:
    case T_FUTURE_IVSURFACE: return List(kIvSurface);
    case T_INTEREST_RATE: return List(kInterestRate);
    case T_HV: return List(kHv);
    case T_FUTURE_BASE: return List(kFutureBase);
    case T_FUTURE_QUOTE: return List(kFutureQuote);
    case T_FUTURE_OPTION_BASE: return List(kFutureOptionBase);
    case T_FUTURE_OPTION: return List(kFutureOption);
    case T_NSTDOPTION_BASE: return List(kNstdOptionBase);
    case T_NSTDOPTION_QUOTE: return List(kNstdOptionQuote);
    case T_NSTDOPTION_AD: return List(kNstdOptionAD);
    default: return {};
  }
}

const BlockReaderDef* ReaderFor(uint8_t type, int protocolVersion) {
  const int v = protocolVersion == 2 ? 1 : 0;
  const ReaderTables& t = Tables();
  return t.present[v][type] ? &t.defs[v][type] : nullptr;
}

void LogTruncatedMessage(size_t offset, size_t length) {
  ORV_LOG(orvlog::kError, "ERROR: message of " << length << " bytes ends at offset " << offset
                                                << " without its last block");
}

const uint8_t* ReadBlock(const BlockReaderDef& def, const uint8_t* data, const uint8_t* end,
                         uint32_t blocks_amount, uint8_t fields_amount, IBlockSink* sink,
                         BlockStatus* status) {
  BlockStatus local;
  BlockStatus& st = status != nullptr ? *status : local;
  if (data == nullptr || end == nullptr || end < data) {
    st = BlockStatus::kNoData;
    return nullptr;
  }
  if (static_cast<size_t>(end - data) < fields_amount) {
    st = BlockStatus::kTruncated;
    ORV_LOG(orvlog::kError, "ERROR: block of type " << int(def.type) << " ends inside its field list");
    return nullptr;
  }
  const uint8_t* ids = data;
  const uint8_t* const records = data + fields_amount;

  // Where the key stands in a record, and from which id the record is read.
  bool keyed = def.rule != KeyRule::kNone;
  bool skip = false;
  size_t keyOffset = 0;
  size_t keyConsumed = 0;  // bytes of the key before the first id read
  size_t firstId = 0;
  if (def.rule == KeyRule::kFirstIdMustBe) {
    if (fields_amount > 0 && ids[0] == def.keyId) {
      keyConsumed = def.keyWidth;
      firstId = 1;
    } else if (def.altKeyIndex > 0 && fields_amount > def.altKeyIndex && ids[def.altKeyIndex] == def.keyId) {
      for (size_t i = 0; i < def.altKeyIndex; ++i) keyOffset += def.Spec(ids[i]).width;
    } else {
      skip = true;
    }
  } else if (def.rule == KeyRule::kFirstFieldIsKey) {
    if (fields_amount > 0) {
      keyConsumed = def.keyWidth;
      firstId = 1;
    } else {
      skip = true;  // no field, hence no key, in any record
    }
  }

  size_t width = keyConsumed;
  for (size_t i = firstId; i < fields_amount; ++i) {
    const FieldSpec& s = def.Spec(ids[i]);
    if (!s.Known()) {
      st = BlockStatus::kUnknownField;
      ORV_LOG(orvlog::kError, def.unknownFieldText << static_cast<int>(ids[i]));
      return nullptr;
    }
    width += s.width;
  }
  // A keyed block that breaks its key rule has been measured over all its
  // ids (its first included), so it can be stepped over.

  if (width == 0) {
    // Records that hold no byte carry nothing to apply; their count is not
    // trusted to size anything.
    st = blocks_amount == 0 && !skip ? BlockStatus::kRead : BlockStatus::kSkipped;
    return records;
  }
  const size_t available = static_cast<size_t>(end - records);
  if (blocks_amount > available / width) {
    st = BlockStatus::kTruncated;
    ORV_LOG(orvlog::kError, "ERROR: block of type " << int(def.type) << " holds " << blocks_amount
                                                     << " records of " << width << " bytes but only "
                                                     << available << " bytes follow");
    return nullptr;
  }
  const uint8_t* const blockEnd = records + static_cast<size_t>(blocks_amount) * width;
  if (skip) {
    st = BlockStatus::kSkipped;
    return blockEnd;
  }
  st = BlockStatus::kRead;
  if (sink == nullptr) return blockEnd;

  sink->Reserve(blocks_amount);
  for (const uint8_t* rec = records; rec < blockEnd; rec += width) {
    if (keyed) {
      FieldValue key;
      key.id = def.keyId;
      key.format = {FieldEncoding::kText, def.keyWidth};
      key.raw = rec + keyOffset;
      sink->BeginRecord(&key);
    } else {
      sink->BeginRecord(nullptr);
    }
    const uint8_t* p = rec + keyConsumed;
    for (size_t i = firstId; i < fields_amount; ++i) {
      FieldValue v;
      v.id = ids[i];
      v.format = def.Spec(v.id);
      v.raw = p;
      p += v.format.width;
      if (v.format.encoding != FieldEncoding::kSkip) sink->Field(v);
    }
    sink->EndRecord();
  }
  return blockEnd;
}
