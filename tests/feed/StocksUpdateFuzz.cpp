// Feeds arbitrary octets through the stock tables as a pull answer would
// reach them: stock blocks are stored, read back and sent as events to a
// client that holds every stored symbol; blocks of other types are stepped
// over. The first octet is the protocol selector of the message corpus and
// is skipped.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "feed/CStocksDB.h"
#include "feed/MessageFormat.h"
#include "platform/log/Log.h"
#include "server/contract/CZmOrvEventSource.h"

class CZmOrvEnt final : public CZmOrvEventSource {
 public:
  HRESULT Fire_OnStocksChange(IStocksEnt* p) override { return Walk(p); }
  HRESULT Fire_OnDirectStocksChange(IStocksEnt* p) override { return Walk(p); }
  HRESULT Fire_OnOptionsChange(IOptionsEnt*) override { return S_OK; }
  HRESULT Fire_OnIVIndexChange(IIVIndexesEnt*) override { return S_OK; }
  HRESULT Fire_OnIVSurfaceChange(IIVSurfacesEnt*) override { return S_OK; }
  HRESULT Fire_OnDirectOptionsChange(IOptionsEnt*) override { return S_OK; }
  HRESULT Fire_OnFuturesChange(IFuturesEnt*) override { return S_OK; }
  HRESULT Fire_OnFutOptionsChange(IFutOptionsEnt*) override { return S_OK; }
  HRESULT Fire_OnFutIVIndexChange(IFutIVIndexesEnt*) override { return S_OK; }
  HRESULT Fire_OnFutIVSurfaceChange(IFutIVSurfacesEnt*) override { return S_OK; }
  HRESULT Fire_OnNstdOptionsChange(INstdOptionsEnt*) override { return S_OK; }

 private:
  // Reads every record the way a client walks an event's cursor.
  static HRESULT Walk(IStocksEnt* cursor) {
    for (VARIANT_BOOL more = VARIANT_TRUE; more == VARIANT_TRUE;) {
      BSTR symbol = nullptr;
      float bid = 0;
      cursor->get_Symbol(&symbol);
      cursor->get_BidPrice(&bid);
      SysFreeString(symbol);
      cursor->Next(&more);
    }
    return S_OK;
  }
};

namespace {

// Events are fired at once on this thread, so that every input runs them.
class InlineStocksDB : public CStocksDB {
 public:
  using CStocksDB::CStocksDB;
  bool _QueueTask(CWorkerInterface* task) override {
    task->DoTask();
    delete task;
    return true;
  }
  // The client holds every symbol stored so far.
  void SubscribeStored(const CEventClientPtr& client) {
    std::vector<StockRecord> rows;
    _RequestDB(CSymbolKey(u"", 0), rows);
    for (const StockRecord& r : rows) Subscribe(client, CSymbolKey(r.Symbol.GetBSTR(), 0));
  }
};

std::string& FolderToRemove() {
  static std::string dir;
  return dir;
}

struct Tables {
  std::string dir;
  std::unique_ptr<CZmOrvEnt> object = std::make_unique<CZmOrvEnt>();
  CEventClientPtr client = CEventClient::Create(object.get());
  std::unique_ptr<InlineStocksDB> stocks, direct;
  int inputs = 0;

  Tables() {
    char tmpl[] = "/tmp/orvfuzz-stocks-XXXXXX";
    const char* made = ::mkdtemp(tmpl);
    if (made == nullptr) std::abort();
    dir = made;
    FolderToRemove() = dir;
    std::atexit([] {
      std::error_code ec;
      std::filesystem::remove_all(FolderToRemove(), ec);
    });
    stocks = std::make_unique<InlineStocksDB>(dir + "/user", false);
    direct = std::make_unique<InlineStocksDB>(dir + "/user", true);
    stocks->Initialize();
    direct->Initialize();
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Tables* t = [] {
    orvlog::SetLevel(orvlog::kError);
    return new Tables();
  }();
  if (size == 0) return 0;
  // Keeps the file small over a long run.
  if (++t->inputs % 256 == 0) {
    t->stocks->Initialize();
    t->direct->Initialize();
  }
  std::vector<std::string> changed;
  WalkMessage(data + 1, size - 1, [&](const BlockHeader& h, const uint8_t* body, const uint8_t* end) -> const uint8_t* {
    switch (h.type) {
      case T_EQUITY_BASE: {
        const uint8_t* next = t->stocks->UpdateData(body, end, h.type, h.blocks_amount, h.fields_amount, false, changed);
        t->stocks->SubscribeStored(t->client);
        // The direct table gets its rows the same way as from a snapshot.
        const uint8_t* copy = t->direct->UpdateData(body, end, h.type, h.blocks_amount, h.fields_amount, false);
        t->direct->SubscribeStored(t->client);
        return next != copy ? nullptr : next;
      }
      case T_EQUITY_QUOTE:
        return t->stocks->UpdateData(body, end, h.type, h.blocks_amount, h.fields_amount, false, changed);
      case T_DIRECT_EQUITY_QUOTE:
        return t->direct->UpdateData(body, end, h.type, h.blocks_amount, h.fields_amount, false, changed);
      default: {
        const BlockReaderDef* def = ReaderFor(h.type, 0);
        if (def == nullptr) return nullptr;
        return ReadBlock(*def, body, end, h.blocks_amount, h.fields_amount, nullptr);
      }
    }
  });
  return 0;
}
