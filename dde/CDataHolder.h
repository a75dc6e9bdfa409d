// The bridge's record store: the last known values of every instrument a
// DDE client has asked for, in ten groups with a lock each.
//
// The store is plain data. Whoever reads or writes a group holds that
// group's lock for the whole stretch and works on its containers directly;
// a thread holds at most one group lock at a time (Clear alone takes all
// of them, in group order). The vector of a group owns its entries; the
// maps only index them.
#pragma once

#include <algorithm>
#include <map>
#include <new>
#include <string>
#include <vector>

#include "platform/com/comdef.h"
#include "dde/StoreEntries.h"
#include "platform/win/sync.h"

namespace zmdde {

// A group's critical section, made and deleted with the group.
class StoreLock {
 public:
  StoreLock() { InitializeCriticalSection(&cs_); }
  ~StoreLock() { DeleteCriticalSection(&cs_); }
  StoreLock(const StoreLock&) = delete;
  StoreLock& operator=(const StoreLock&) = delete;

  void Enter() { EnterCriticalSection(&cs_); }
  void Leave() { LeaveCriticalSection(&cs_); }
  CRITICAL_SECTION& Section() { return cs_; }

 private:
  CRITICAL_SECTION cs_;
};

// Holds a group lock for the life of a scope.
class StoreGuard {
 public:
  explicit StoreGuard(StoreLock& lock) : lock_(lock) { lock_.Enter(); }
  ~StoreGuard() { lock_.Leave(); }
  StoreGuard(const StoreGuard&) = delete;
  StoreGuard& operator=(const StoreGuard&) = delete;

 private:
  StoreLock& lock_;
};

// The entries of a group whose changed flag is set, each once, in the order
// they became changed: the posting pass walks these rather than the whole
// group, so a pass costs what changed, not what is held. Used under the
// group's lock; whoever sets an entry's changed flag does it through Mark.
template <class Entry>
class ChangedEntries {
 public:
  void Mark(Entry* entry) {
    if (entry->changed) return;
    entry->changed = 1;
    queued_.push_back(entry);
  }
  // Hands the queue over and leaves it empty. The parked entries come back
  // first when the store knows more topics than when they were parked:
  // topics are only ever added, so an unchanged count finds no new handle.
  std::vector<Entry*> Take(size_t topics) {
    std::vector<Entry*> taken;
    if (topics != parkedAt_) taken.swap(parked_);
    parkedAt_ = topics;
    taken.insert(taken.end(), queued_.begin(), queued_.end());
    queued_.clear();
    return taken;
  }
  // An entry taken but not posted, since its symbol has no topic handle
  // yet: its flag stays set, and passes skip it until a topic is added.
  void Park(Entry* entry) { parked_.push_back(entry); }
  // Entries about to be deleted leave the queue first.
  template <class Gone>
  void Forget(const Gone& gone) {
    for (std::vector<Entry*>* list : {&queued_, &parked_})
      list->erase(std::remove_if(list->begin(), list->end(),
                                 [&](Entry* e) { return gone.count(e) != 0; }),
                  list->end());
  }
  void Clear() {
    queued_.clear();
    parked_.clear();
  }
  size_t Size() const { return queued_.size() + parked_.size(); }

 private:
  std::vector<Entry*> queued_;
  std::vector<Entry*> parked_;
  size_t parkedAt_ = 0;
};

// Stocks and futures.
template <class Entry>
struct SymbolGroup {
  StoreLock lock;
  std::vector<Entry*> entries;
  ChangedEntries<Entry> changed;
  std::map<_bstr_t, Entry*> bySymbol;
  std::map<DdeHandleValue, Entry*> byTopic;
};

// Options, non-standard options and futures options.
template <class Entry>
struct OptionGroup {
  StoreLock lock;
  std::vector<Entry*> entries;
  ChangedEntries<Entry> changed;
  std::map<_bstr_t, Entry*> bySymbol;
  std::map<DdeHandleValue, Entry*> byTopic;
  std::map<_bstr_t, _bstr_t> underlyingOf;  // option symbol -> underlying symbol
};

// IV indexes and futures IV indexes.
struct IVIndexGroup {
  StoreLock lock;
  std::vector<IVIndexEntry*> entries;
  ChangedEntries<IVIndexEntry> changed;
  std::map<IVIndexKey, IVIndexEntry*> byKey;
  std::multimap<_bstr_t, IVIndexEntry*> bySymbolAll;
};

// IV surfaces and futures IV surfaces.
struct IVSurfaceGroup {
  StoreLock lock;
  std::vector<IVSurfaceEntry*> entries;
  ChangedEntries<IVSurfaceEntry> changed;
  std::map<IVSurfaceKey, IVSurfaceEntry*> byKey;
};

struct AtmGroup {
  StoreLock lock;
  std::vector<AtmEntry*> entries;
  ChangedEntries<AtmEntry> changed;
  std::map<AtmKey, AtmEntry*> byKey;
  std::multimap<_bstr_t, AtmEntry*> bySymbolAll;
};

class CDataHolder {
 public:
  CDataHolder() = default;
  ~CDataHolder();
  CDataHolder(const CDataHolder&) = delete;
  CDataHolder& operator=(const CDataHolder&) = delete;

  // Deletes every entry and empties every group, holding all ten locks.
  void Clear();

  SymbolGroup<StockEntry> stock;
  SymbolGroup<FutureEntry> futures;
  OptionGroup<OptionEntry> option;
  OptionGroup<NstdOptionEntry> nstdOption;
  OptionGroup<OptionEntry> futOption;
  IVIndexGroup ivIndex;
  IVSurfaceGroup ivSurface;
  IVIndexGroup futIvIndex;
  IVSurfaceGroup futIvSurface;
  AtmGroup atm;

  // Period -> rate; filled once, on the main thread, and never cleared.
  std::map<SHORT, FLOAT> interestRates;
  // Upper-cased topic text -> the topic handle of the conversation that
  // first asked for it; guarded by the DDE server's topic lock.
  std::map<std::string, DdeHandleValue> topicOfSymbol;
};

// The program's one store, alive from before main until after it.
extern CDataHolder g_DataHolder;

}  // namespace zmdde
