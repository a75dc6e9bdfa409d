// Feeds arbitrary octets through the option tables as a pull answer would
// reach them: option, non-standard option and futures option blocks are
// stored, read back and sent as events to a client that holds every stored
// underlying and option; blocks of other types are stepped over. The first
// octet is the protocol selector of the message corpus: an odd one reads the equity
// option symbols 64 bytes wide.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "feed/CFutureOptionsDB.h"
#include "feed/CNstdOptionsDB.h"
#include "feed/COptionsDB.h"
#include "feed/CSettings.h"
#include "feed/MessageFormat.h"
#include "platform/log/Log.h"
#include "server/contract/CZmOrvEventSource.h"

class CZmOrvEnt final : public CZmOrvEventSource {
 public:
  HRESULT Fire_OnStocksChange(IStocksEnt*) override { return S_OK; }
  HRESULT Fire_OnDirectStocksChange(IStocksEnt*) override { return S_OK; }
  HRESULT Fire_OnOptionsChange(IOptionsEnt* p) override { return Walk(p); }
  HRESULT Fire_OnDirectOptionsChange(IOptionsEnt* p) override { return Walk(p); }
  HRESULT Fire_OnNstdOptionsChange(INstdOptionsEnt* p) override { return Walk(p); }
  HRESULT Fire_OnFutOptionsChange(IFutOptionsEnt* p) override { return Walk(p); }
  HRESULT Fire_OnIVIndexChange(IIVIndexesEnt*) override { return S_OK; }
  HRESULT Fire_OnIVSurfaceChange(IIVSurfacesEnt*) override { return S_OK; }
  HRESULT Fire_OnFuturesChange(IFuturesEnt*) override { return S_OK; }
  HRESULT Fire_OnFutIVIndexChange(IFutIVIndexesEnt*) override { return S_OK; }
  HRESULT Fire_OnFutIVSurfaceChange(IFutIVSurfacesEnt*) override { return S_OK; }

 private:
  // Reads every record the way a client walks an event's cursor.
  template <class I>
  static HRESULT Walk(I* cursor) {
    for (VARIANT_BOOL more = VARIANT_TRUE; more == VARIANT_TRUE;) {
      BSTR symbol = nullptr;
      float iv = 0;
      cursor->get_Symbol(&symbol);
      cursor->get_IV(&iv);
      SysFreeString(symbol);
      cursor->Next(&more);
    }
    return S_OK;
  }
};

namespace {

// Events are fired at once on this thread, so that every input runs them.
template <class Table>
class Inline : public Table {
 public:
  using Table::Table;
  bool _QueueTask(CWorkerInterface* task) override {
    task->DoTask();
    delete task;
    return true;
  }
  // The client holds every underlying and every option stored so far.
  void SubscribeStored(const CEventClientPtr& client) {
    std::vector<typename Table::Record> rows;
    this->_RequestDB(CSymbolKey(u"", 0), rows);
    for (const auto& r : rows) {
      this->Subscribe(client, CSymbolKey(r.StockSymbol.GetBSTR(), 0));
      this->Subscribe(client, CSymbolKey(r.Symbol.GetBSTR(), 1));
    }
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
  std::unique_ptr<Inline<COptionsDB>> options, direct;
  std::unique_ptr<Inline<CNstdOptionsDB>> nstd;
  std::unique_ptr<Inline<CFutureOptionsDB>> futures;
  int inputs = 0;

  Tables() {
    char tmpl[] = "/tmp/orvfuzz-options-XXXXXX";
    const char* made = ::mkdtemp(tmpl);
    if (made == nullptr) std::abort();
    dir = made;
    FolderToRemove() = dir;
    std::atexit([] {
      std::error_code ec;
      std::filesystem::remove_all(FolderToRemove(), ec);
    });
    options = std::make_unique<Inline<COptionsDB>>(dir + "/user", false);
    direct = std::make_unique<Inline<COptionsDB>>(dir + "/user", true);
    nstd = std::make_unique<Inline<CNstdOptionsDB>>(dir + "/user");
    futures = std::make_unique<Inline<CFutureOptionsDB>>(dir + "/user");
    Initialize();
  }
  void Initialize() {
    options->Initialize();
    direct->Initialize();
    nstd->Initialize();
    futures->Initialize();
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Tables* t = [] {
    orvlog::SetLevel(orvlog::kError);
    return new Tables();
  }();
  if (size == 0) return 0;
  CSettings::ProtocolVersion = (data[0] & 1) != 0 ? 2 : 0;
  // Keeps the file small over a long run.
  if (++t->inputs % 256 == 0) t->Initialize();
  WalkMessage(data + 1, size - 1, [&](const BlockHeader& h, const uint8_t* body, const uint8_t* end) -> const uint8_t* {
    switch (h.type) {
      case T_OPTION_BASE: {
        const uint8_t* next = t->options->UpdateData(body, end, h.type, h.blocks_amount, h.fields_amount, false);
        t->options->SubscribeStored(t->client);
        // The direct table gets its rows the same way as from a snapshot.
        const uint8_t* copy = t->direct->UpdateData(body, end, h.type, h.blocks_amount, h.fields_amount, false);
        t->direct->SubscribeStored(t->client);
        return next != copy ? nullptr : next;
      }
      case T_OPTION_QUOTE:
      case T_OPTION_AD:
        return t->options->UpdateData(body, end, h.type, h.blocks_amount, h.fields_amount, false);
      case T_DIRECT_OPTION_QUOTE:
        return t->direct->UpdateData(body, end, h.type, h.blocks_amount, h.fields_amount, false);
      case T_NSTDOPTION_BASE: {
        const uint8_t* next = t->nstd->UpdateData(body, end, h.type, h.blocks_amount, h.fields_amount, false);
        t->nstd->SubscribeStored(t->client);
        return next;
      }
      case T_NSTDOPTION_QUOTE:
      case T_NSTDOPTION_AD:
        return t->nstd->UpdateData(body, end, h.type, h.blocks_amount, h.fields_amount, false);
      case T_FUTURE_OPTION_BASE: {
        const uint8_t* next = t->futures->UpdateData(body, end, h.type, h.blocks_amount, h.fields_amount, false);
        t->futures->SubscribeStored(t->client);
        return next;
      }
      case T_FUTURE_OPTION:
        return t->futures->UpdateData(body, end, h.type, h.blocks_amount, h.fields_amount, false);
      default: {
        const BlockReaderDef* def = ReaderFor(h.type, 0);
        if (def == nullptr) return nullptr;
        return ReadBlock(*def, body, end, h.blocks_amount, h.fields_amount, nullptr);
      }
    }
  });
  return 0;
}
