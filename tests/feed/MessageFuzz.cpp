// Feeds arbitrary octets through the message walker and every block reader,
// as a pull answer would reach them. The first octet picks the protocol
// version; the rest is the message.
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

#include "feed/MessageFormat.h"
#include "platform/log/Log.h"

namespace {

// Touches every value the way the table readers do, merging keyed records
// into a block map.
class TouchSink : public IBlockSink {
 public:
  void Reserve(size_t n) override { reserved += n; }
  void BeginRecord(const FieldValue* key) override {
    current = key != nullptr ? &map[std::string(key->AsText())] : &unkeyed;
    if (key != nullptr) current->key = key->AsUtf16();
  }
  void Field(const FieldValue& v) override {
    switch (v.format.encoding) {
      case FieldEncoding::kText: current->text += v.AsUtf16(); break;
      case FieldEncoding::kChar: current->sum += v.AsChar(); break;
      case FieldEncoding::kInt16:
      case FieldEncoding::kInt32: current->sum += v.AsInt(); break;
      default: current->value += v.AsDouble(); break;
    }
  }
  void EndRecord() override {}

  struct Rec {
    std::u16string key;
    std::u16string text;
    int64_t sum = 0;
    double value = 0;
  };
  std::map<std::string, Rec> map;
  Rec unkeyed;
  Rec* current = &unkeyed;
  size_t reserved = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Error lines (unknown fields, truncation) are composed; the per-header
  // trace line is not, so that the time goes to the readers.
  static const bool level = [] {
    orvlog::SetLevel(orvlog::kError);
    return true;
  }();
  (void)level;
  if (size == 0) return 0;
  const int protocol = (data[0] & 1) != 0 ? 2 : 0;
  const uint8_t* msg = data + 1;
  const size_t len = size - 1;

  uint8_t type = 0, fields = 0;
  uint32_t blocks = 0;
  const uint8_t* body = ReadBlockHeader(msg, len, &type, &blocks, &fields);
  if (body != nullptr) {
    // The snapshot paths: one header, then its block.
    if (const BlockReaderDef* def = ReaderFor(type, protocol)) {
      TouchSink sink;
      ReadBlock(*def, body, msg + len, blocks, fields, &sink);
    }
  }

  TouchSink sink;
  WalkMessage(msg, len, [&](const BlockHeader& h, const uint8_t* b, const uint8_t* end) -> const uint8_t* {
    const BlockReaderDef* def = ReaderFor(h.type, protocol);
    if (def == nullptr) return nullptr;
    return ReadBlock(*def, b, end, h.blocks_amount, h.fields_amount, (h.type & 1) != 0 ? &sink : nullptr);
  });
  return 0;
}
