// Feeds arbitrary octets through the four IV tables as a pull answer would
// reach them: IV blocks are stored, re-stored over the rows they meet and
// sent as events to a client that holds every stored symbol and the empty
// one; blocks of other types are stepped over. The first octet is the
// protocol selector of the message corpus and is skipped.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "feed/CFutIVIndexDB.h"
#include "feed/CFutIVSurfaceDB.h"
#include "feed/CIVIndexDB.h"
#include "feed/CIVSurfaceDB.h"
#include "feed/MessageFormat.h"
#include "platform/log/Log.h"
#include "server/contract/CZmOrvEventSource.h"

class CZmOrvEnt final : public CZmOrvEventSource {
 public:
  HRESULT Fire_OnStocksChange(IStocksEnt*) override { return S_OK; }
  HRESULT Fire_OnDirectStocksChange(IStocksEnt*) override { return S_OK; }
  HRESULT Fire_OnOptionsChange(IOptionsEnt*) override { return S_OK; }
  HRESULT Fire_OnIVIndexChange(IIVIndexesEnt* p) override { return Walk(p, &IIVIndexesEnt::get_StockSymbol); }
  HRESULT Fire_OnIVSurfaceChange(IIVSurfacesEnt* p) override { return Walk(p, &IIVSurfacesEnt::get_StockSymbol); }
  HRESULT Fire_OnDirectOptionsChange(IOptionsEnt*) override { return S_OK; }
  HRESULT Fire_OnFuturesChange(IFuturesEnt*) override { return S_OK; }
  HRESULT Fire_OnFutOptionsChange(IFutOptionsEnt*) override { return S_OK; }
  HRESULT Fire_OnFutIVIndexChange(IFutIVIndexesEnt* p) override {
    return Walk(p, &IFutIVIndexesEnt::get_UnderlyingSymbol);
  }
  HRESULT Fire_OnFutIVSurfaceChange(IFutIVSurfacesEnt* p) override {
    return Walk(p, &IFutIVSurfacesEnt::get_UnderlyingSymbol);
  }
  HRESULT Fire_OnNstdOptionsChange(INstdOptionsEnt*) override { return S_OK; }

 private:
  // Reads every record the way a client walks an event's cursor.
  template <class I>
  static HRESULT Walk(I* cursor, HRESULT (STDMETHODCALLTYPE I::*symbolOf)(BSTR*)) {
    for (VARIANT_BOOL more = VARIANT_TRUE; more == VARIANT_TRUE;) {
      BSTR symbol = nullptr;
      SHORT term = 0;
      (cursor->*symbolOf)(&symbol);
      cursor->get_Term(&term);
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
  // The client holds every symbol stored so far; a symbol held before
  // gets the cached rows as a late subscriber would.
  void SubscribeStored(const CEventClientPtr& client, const CEventClientPtr& late) {
    typename Table::Records rows;
    this->_RequestDB("", rows);
    for (const auto& r : rows) {
      const CSymbolKey key(r.Symbol.GetBSTR(), 0);
      if (this->IsSubscribedBy(client, key)) {
        this->Subscribe(late, key);
      } else {
        this->Subscribe(client, key);
      }
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
  std::unique_ptr<CZmOrvEnt> lateObject = std::make_unique<CZmOrvEnt>();
  CEventClientPtr client = CEventClient::Create(object.get());
  CEventClientPtr late = CEventClient::Create(lateObject.get());
  std::unique_ptr<Inline<CIVIndexDB>> ivx;
  std::unique_ptr<Inline<CIVSurfaceDB>> ivs;
  std::unique_ptr<Inline<CFutIVIndexDB>> futIvx;
  std::unique_ptr<Inline<CFutIVSurfaceDB>> futIvs;
  int inputs = 0;

  Tables() {
    char tmpl[] = "/tmp/orvfuzz-ivtables-XXXXXX";
    const char* made = ::mkdtemp(tmpl);
    if (made == nullptr) std::abort();
    dir = made;
    FolderToRemove() = dir;
    std::atexit([] {
      std::error_code ec;
      std::filesystem::remove_all(FolderToRemove(), ec);
    });
    const std::string path = dir + "/user";
    ivx = std::make_unique<Inline<CIVIndexDB>>(path);
    ivs = std::make_unique<Inline<CIVSurfaceDB>>(path);
    futIvx = std::make_unique<Inline<CFutIVIndexDB>>(path);
    futIvs = std::make_unique<Inline<CFutIVSurfaceDB>>(path);
    Initialize();
    // Points without a symbol go to the clients of the empty key.
    for (CLiteDB* t : {static_cast<CLiteDB*>(ivx.get()), static_cast<CLiteDB*>(ivs.get()),
                       static_cast<CLiteDB*>(futIvx.get()), static_cast<CLiteDB*>(futIvs.get())}) {
      t->Subscribe(client, CSymbolKey(u"", 0));
    }
  }
  void Initialize() {
    ivx->Initialize();
    ivs->Initialize();
    futIvx->Initialize();
    futIvs->Initialize();
  }
};

template <class Table>
const uint8_t* Apply(Table& table, Tables& t, const BlockHeader& h, const uint8_t* body, const uint8_t* end) {
  const uint8_t* next = table.UpdateData(body, end, h.type, h.blocks_amount, h.fields_amount, false);
  table.SubscribeStored(t.client, t.late);
  return next;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Tables* t = [] {
    orvlog::SetLevel(orvlog::kError);
    return new Tables();
  }();
  if (size == 0) return 0;
  // Keeps the file small over a long run.
  if (++t->inputs % 256 == 0) t->Initialize();
  WalkMessage(data + 1, size - 1, [&](const BlockHeader& h, const uint8_t* body, const uint8_t* end) -> const uint8_t* {
    switch (h.type) {
      case T_IVINDEX: return Apply(*t->ivx, *t, h, body, end);
      case T_IVSURFACE: return Apply(*t->ivs, *t, h, body, end);
      case T_FUTURE_IVINDEX: return Apply(*t->futIvx, *t, h, body, end);
      case T_FUTURE_IVSURFACE: return Apply(*t->futIvs, *t, h, body, end);
      default: {
        const BlockReaderDef* def = ReaderFor(h.type, 0);
        if (def == nullptr) return nullptr;
        return ReadBlock(*def, body, end, h.blocks_amount, h.fields_amount, nullptr);
      }
    }
  });
  return 0;
}
