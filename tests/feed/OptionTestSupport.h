// What the option table tests share: a client that keeps every option,
// non-standard option and futures option event it is sent, and blocks of
// options written the way the services write them.
#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "MessageBuilder.h"
#include "feed/CEventClient.h"
#include "feed/CSymbolKey.h"
#include "feed/MessageFormat.h"
#include "server/contract/BraskOrvEntTypes.h"
#include "server/contract/CZmOrvEventSource.h"
#include "server/contract/Records.h"

// What one event carried, read back through its cursor.
struct OptionEventRow {
  std::string symbol;
  std::string underlying;
  float bid = 0, iv = 0, preIv = 0, gamma = 0, vega = 0;
  long rootId = 0;
};

struct OptionEvent {
  enum Kind { kOption, kDirectOption, kNstdOption, kFutureOption } kind = kOption;
  std::vector<OptionEventRow> rows;
};

// A client as the event tasks see it.
class CZmOrvEnt final : public CZmOrvEventSource {
 public:
  HRESULT Fire_OnStocksChange(IStocksEnt*) override { return E_NOTIMPL; }
  HRESULT Fire_OnDirectStocksChange(IStocksEnt*) override { return E_NOTIMPL; }
  HRESULT Fire_OnOptionsChange(IOptionsEnt* p) override;
  HRESULT Fire_OnDirectOptionsChange(IOptionsEnt* p) override;
  HRESULT Fire_OnNstdOptionsChange(INstdOptionsEnt* p) override;
  HRESULT Fire_OnFutOptionsChange(IFutOptionsEnt* p) override;
  HRESULT Fire_OnIVIndexChange(IIVIndexesEnt*) override { return E_NOTIMPL; }
  HRESULT Fire_OnIVSurfaceChange(IIVSurfacesEnt*) override { return E_NOTIMPL; }
  HRESULT Fire_OnFuturesChange(IFuturesEnt*) override { return E_NOTIMPL; }
  HRESULT Fire_OnFutIVIndexChange(IFutIVIndexesEnt*) override { return E_NOTIMPL; }
  HRESULT Fire_OnFutIVSurfaceChange(IFutIVSurfacesEnt*) override { return E_NOTIMPL; }

  std::vector<OptionEvent> Events() {
    std::lock_guard<std::mutex> l(m_mutex);
    return m_events;
  }
  // Bounded: a broken pool fails the test instead of hanging it.
  bool WaitForEvents(size_t n) {
    std::unique_lock<std::mutex> l(m_mutex);
    return m_cv.wait_for(l, std::chrono::seconds(20), [&] { return m_events.size() >= n; });
  }
  void Keep(OptionEvent e) {
    std::lock_guard<std::mutex> l(m_mutex);
    m_events.push_back(std::move(e));
    m_cv.notify_all();
  }

 private:
  std::mutex m_mutex;
  std::condition_variable m_cv;
  std::vector<OptionEvent> m_events;
};

// Subscribing clients of one test: the recording objects and the handles
// the tables keep.
class TestClients {
 public:
  struct Client {
    CZmOrvEnt* events;
    CEventClientPtr handle;
  };
  ~TestClients();
  Client New();

 private:
  std::vector<std::unique_ptr<CZmOrvEnt>> m_clients;
  std::vector<CEventClientPtr> m_handles;
};

// One option of a test block. The other values follow from these: ask is
// bid + 1, last bid + 0.5; pre_iv is iv + 0.01, delta iv / 2, gamma iv / 10,
// vega iv * 2, theta -iv, rho iv / 100.
struct TestOption {
  std::string symbol;
  std::string underlying;
  float strike = 100;
  char type = 'C';
  double expiration = 46000;
  float bid = 1;
  float iv = 0.25f;
  int32_t rootId = 0;
};

// Ids and widths of the equity option blocks (key width 12, or 64 under
// protocol version 2) and of the futures option blocks (64-byte symbols,
// double expiration).
enum class OptionFamily { kEquity, kWideEquity, kFuture };

extern const std::vector<uint8_t> kOptionBaseIds;
extern const std::vector<uint8_t> kOptionQuoteIds;
extern const std::vector<uint8_t> kOptionADIds;
extern const std::vector<uint8_t> kNstdBaseIds;
extern const std::vector<uint8_t> kNstdQuoteIds;
extern const std::vector<uint8_t> kNstdADIds;
extern const std::vector<uint8_t> kFutOptionBaseIds;
extern const std::vector<uint8_t> kFutOptionQuoteIds;

// A block of the given type and ids, one record per option.
void AppendOptionBlock(MessageBuilder& m, uint8_t type, const std::vector<uint8_t>& ids,
                       const std::vector<TestOption>& options, OptionFamily family = OptionFamily::kEquity,
                       uint8_t isLast = 1);
MessageBuilder OptionBlock(uint8_t type, const std::vector<uint8_t>& ids, const std::vector<TestOption>& options,
                           OptionFamily family = OptionFamily::kEquity);

// Hands each block of a message to the table as the pull thread does.
// Returns whether the walk reached the last block.
template <class Table>
bool Apply(Table& table, const MessageBuilder& m) {
  return WalkMessage(m.data(), m.size(), [&](const BlockHeader& h, const uint8_t* body, const uint8_t* end) {
    return table.UpdateData(body, end, h.type, h.blocks_amount, h.fields_amount, false);
  });
}

// count options of an underlying: strikes 100, 105, ... alternating call
// and put, symbol underlying + index.
std::vector<TestOption> OptionChain(const std::string& underlying, int count, float bid = 1, float iv = 0.25f);

template <class Record>
std::vector<std::string> SymbolsOf(const std::vector<Record>& rows) {
  std::vector<std::string> out;
  for (const Record& r : rows) out.push_back(static_cast<const char*>(r.Symbol));
  return out;
}
std::vector<std::string> SymbolsOf(const std::vector<OptionEventRow>& rows);
std::vector<std::string> SymbolsOf(const std::vector<TestOption>& options);
