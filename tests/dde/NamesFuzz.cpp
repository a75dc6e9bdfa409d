// Whatever topic and item a DDE client sends, the request path answers a
// short text or nothing, and never crashes. The first byte splits the input
// into a topic and an item.
#include <cstddef>
#include <cstdint>
#include <string>

#include "dde/RequestRenderer.h"

using namespace zmdde;

namespace {

struct Store {
  Store() : months(MakeMonthTable()) {
    auto* stock = new StockEntry("MSFT", 12.5f, 100);
    stock->snapshot = 1;
    stock->hvByTerm[30] = HvEntry{0.2f, 0};
    holder.stock.entries.push_back(stock);
    holder.stock.bySymbol["MSFT"] = stock;
    holder.stock.byTopic[1] = stock;
    auto* index = new IVIndexEntry("MSFT", 30, 0.25f, 0.3f);
    index->snapshot = 1;
    holder.ivIndex.entries.push_back(index);
    holder.ivIndex.byKey.emplace(IVIndexKey("MSFT", 30), index);
    auto* surface = new IVSurfaceEntry("MSFT", 30, 100.0f, 5, 0, 0.3f, 0.5f);
    surface->snapshot = 1;
    holder.ivSurface.entries.push_back(surface);
    holder.ivSurface.byKey.emplace(IVSurfaceKey("MSFT", 30, 5, 0), surface);
    auto* atm = new AtmEntry("MSFT", 40179, 0.3f);
    atm->snapshot = 1;
    holder.atm.entries.push_back(atm);
    holder.atm.byKey.emplace(AtmKey("MSFT", 40179), atm);
    holder.interestRates[30] = 0.05f;
  }
  CDataHolder holder;
  MonthTable months;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Store store;
  static const DdeCredentials credentials{"user", "password"};
  if (size == 0) return 0;
  const size_t split = data[0] % size;
  const char* text = reinterpret_cast<const char*>(data + 1);
  // Names travel as zero-terminated texts.
  std::string topic(text, split > 0 ? split - 1 : 0);
  std::string item(text + topic.size(), size - 1 - topic.size());
  topic = topic.c_str();
  item = item.c_str();

  CRequestRenderer renderer(store.holder, store.months);
  auto answer = renderer.Render(1, topic, item, credentials);
  if (answer && answer->size() > CRequestRenderer::kMaxValueLength) __builtin_trap();
  return 0;
}
