// Writes the fuzzer's seed corpus: golden messages of every message type,
// with the field lists the program asks for, and a few multi-block ones.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "MessageBuilder.h"
#include "feed/MessageFormat.h"

namespace {

void Record(MessageBuilder& m, const BlockReaderDef& def, const FieldIdList& ids, int n) {
  for (size_t i = 0; i < ids.count; ++i) {
    const FieldSpec s = (i == 0 && def.rule == KeyRule::kFirstFieldIsKey)
                            ? FieldSpec{FieldEncoding::kText, def.keyWidth}
                            : def.Spec(ids.ids[i]);
    switch (s.encoding) {
      case FieldEncoding::kFloat: m.Float(1.25f * n); break;
      case FieldEncoding::kDouble: m.Double(45000.5 + n); break;
      case FieldEncoding::kInt16: m.I16(static_cast<int16_t>(30 * n)); break;
      case FieldEncoding::kInt32: m.I32(1000 + n); break;
      case FieldEncoding::kChar: m.U8(n % 2 ? 'C' : 'P'); break;
      case FieldEncoding::kText: m.Text("SYM" + std::to_string(n % 3), s.width); break;
      default: m.Text("", s.width); break;
    }
  }
}

void Block(MessageBuilder& m, uint8_t type, int pv, int records, bool last) {
  const BlockReaderDef* def = ReaderFor(type, pv);
  const FieldIdList ids = FieldListFor(type);
  m.Header(type, static_cast<uint32_t>(records), static_cast<uint8_t>(ids.count), last ? 1 : 0);
  for (size_t i = 0; i < ids.count; ++i) m.U8(ids.ids[i]);
  for (int r = 0; r < records; ++r) Record(m, *def, ids, r + 1);
}

void Write(const std::filesystem::path& dir, const std::string& name, int pv, const MessageBuilder& m) {
  std::ofstream out(dir / name, std::ios::binary);
  const char flag = static_cast<char>(pv == 2 ? 1 : 0);
  out.write(&flag, 1);
  out.write(reinterpret_cast<const char*>(m.data()), static_cast<std::streamsize>(m.size()));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <corpus folder>\n", argv[0]);
    return 2;
  }
  const std::filesystem::path dir = argv[1];
  std::filesystem::create_directories(dir);
  for (int type = 1; type < 26; ++type) {
    for (int pv : {0, 2}) {
      if (ReaderFor(static_cast<uint8_t>(type), pv) == nullptr || FieldListFor(static_cast<uint8_t>(type)).count == 0)
        continue;
      MessageBuilder m;
      Block(m, static_cast<uint8_t>(type), pv, 3, true);
      Write(dir, "type" + std::to_string(type) + "_pv" + std::to_string(pv), pv, m);
    }
  }
  // A pull answer: base then quotes then analytics, the last block marked.
  MessageBuilder pull;
  Block(pull, T_EQUITY_BASE, 0, 2, false);
  Block(pull, T_EQUITY_QUOTE, 0, 4, false);
  Block(pull, T_OPTION_AD, 0, 2, false);
  Block(pull, T_IVSURFACE, 0, 2, true);
  Write(dir, "pull_equities", 0, pull);
  MessageBuilder fut;
  Block(fut, T_FUTURE_BASE, 0, 1, false);
  Block(fut, T_FUTURE_QUOTE, 0, 2, false);
  Block(fut, T_FUTURE_OPTION, 0, 2, true);
  Write(dir, "pull_futures", 0, fut);
  return 0;
}
