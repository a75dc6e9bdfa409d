// Feeds arbitrary octets through the futures table as a pull answer would
// reach it: base blocks are stored, quote blocks stored, read back by root
// and sent as events to a client that holds every stored root and future;
// blocks of other types are stepped over. The first octet is the protocol
// selector of the message corpus and is skipped.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "feed/CFuturesDB.h"
#include "feed/MessageFormat.h"
#include "platform/log/Log.h"
#include "server/contract/CZmOrvEventSource.h"

class CZmOrvEnt final : public CZmOrvEventSource {
 public:
  HRESULT Fire_OnStocksChange(IStocksEnt*) override { return S_OK; }
  HRESULT Fire_OnDirectStocksChange(IStocksEnt*) override { return S_OK; }
  HRESULT Fire_OnOptionsChange(IOptionsEnt*) override { return S_OK; }
  HRESULT Fire_OnIVIndexChange(IIVIndexesEnt*) override { return S_OK; }
  HRESULT Fire_OnIVSurfaceChange(IIVSurfacesEnt*) override { return S_OK; }
  HRESULT Fire_OnDirectOptionsChange(IOptionsEnt*) override { return S_OK; }
  HRESULT Fire_OnFutOptionsChange(IFutOptionsEnt*) override { return S_OK; }
  HRESULT Fire_OnFutIVIndexChange(IFutIVIndexesEnt*) override { return S_OK; }
  HRESULT Fire_OnFutIVSurfaceChange(IFutIVSurfacesEnt*) override { return S_OK; }
  HRESULT Fire_OnNstdOptionsChange(INstdOptionsEnt*) override { return S_OK; }
  // Reads every record the way a client walks an event's cursor.
  HRESULT Fire_OnFuturesChange(IFuturesEnt* cursor) override {
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
class InlineFuturesDB : public CFuturesDB {
 public:
  using CFuturesDB::CFuturesDB;
  bool _QueueTask(CWorkerInterface* task) override {
    task->DoTask();
    delete task;
    return true;
  }
  void SubscribeStored(const CEventClientPtr& client) {
    std::vector<FutureRecord> rows;
    _RequestDB(CSymbolKey(u"", 0), rows);
    for (const FutureRecord& r : rows) {
      Subscribe(client, CSymbolKey(r.Symbol.GetBSTR(), 0));
      Subscribe(client, CSymbolKey(r.RootSymbol.GetBSTR(), 1));
    }
  }
};

std::string& FolderToRemove() {
  static std::string dir;
  return dir;
}

struct Table {
  std::string dir;
  std::unique_ptr<CZmOrvEnt> object = std::make_unique<CZmOrvEnt>();
  CEventClientPtr client = CEventClient::Create(object.get());
  std::unique_ptr<InlineFuturesDB> futures;
  int inputs = 0;

  Table() {
    char tmpl[] = "/tmp/orvfuzz-futures-XXXXXX";
    const char* made = ::mkdtemp(tmpl);
    if (made == nullptr) std::abort();
    dir = made;
    FolderToRemove() = dir;
    std::atexit([] {
      std::error_code ec;
      std::filesystem::remove_all(FolderToRemove(), ec);
    });
    futures = std::make_unique<InlineFuturesDB>(dir + "/user");
    futures->Initialize();
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Table* t = [] {
    orvlog::SetLevel(orvlog::kError);
    return new Table();
  }();
  if (size == 0) return 0;
  // Keeps the file small over a long run.
  if (++t->inputs % 256 == 0) t->futures->Initialize();
  std::vector<std::string> roots;
  WalkMessage(data + 1, size - 1, [&](const BlockHeader& h, const uint8_t* body, const uint8_t* end) -> const uint8_t* {
    switch (h.type) {
      case T_FUTURE_BASE: {
        const uint8_t* next = t->futures->UpdateData(body, end, h.type, h.blocks_amount, h.fields_amount, false, roots);
        t->futures->SubscribeStored(t->client);
        return next;
      }
      case T_FUTURE_QUOTE:
        return t->futures->UpdateData(body, end, h.type, h.blocks_amount, h.fields_amount, false, roots);
      default: {
        const BlockReaderDef* def = ReaderFor(h.type, 0);
        if (def == nullptr) return nullptr;
        return ReadBlock(*def, body, end, h.blocks_amount, h.fields_amount, nullptr);
      }
    }
  });
  return 0;
}
