#include "feed/CTableEventMaker.h"

#include <atomic>

namespace {

std::atomic<const CTableEventMaker*> g_maker{nullptr};

}  // namespace

void InstallTableEventMaker(const CTableEventMaker* maker) { g_maker = maker; }

const CTableEventMaker& TableEventMaker() {
  const CTableEventMaker* maker = g_maker.load();
  if (maker == nullptr) _com_issue_error(E_NOTIMPL);
  return *maker;
}
