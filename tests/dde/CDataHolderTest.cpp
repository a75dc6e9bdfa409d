#include "dde/CDataHolder.h"

#include <gtest/gtest.h>

#include <malloc.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ORV_LEAK_CHECK 1
#endif
#endif
#ifndef ORV_LEAK_CHECK
#define ORV_LEAK_CHECK 0
#endif
#if ORV_LEAK_CHECK
#include <sanitizer/lsan_interface.h>
#endif

using namespace zmdde;

namespace {

TEST(DataHolderEntries, ConstructorsZeroEverythingButTheirArguments) {
  StockEntry stock("MSFT", 12.5f, 300);
  EXPECT_EQ(_bstr_t("MSFT"), stock.symbol);
  EXPECT_FLOAT_EQ(12.5f, stock.lastPrice);
  EXPECT_EQ(300, stock.volume);
  EXPECT_EQ(0, stock.bidPrice);
  EXPECT_EQ(0, stock.lastDate);
  EXPECT_EQ(0, stock.snapshot);
  EXPECT_EQ(0, stock.changed);
  EXPECT_TRUE(stock.hvByTerm.empty());

  OptionEntry option("MSQ AB", "", 1, 25.0f, 40543.0, 0.3f, 1.1f, 1.2f, 0.5f, 0.1f, 0.05f, -0.02f,
                     0.01f, 7);
  EXPECT_EQ(_bstr_t("MSQ AB"), option.symbol);
  EXPECT_EQ(0u, option.stockSymbol.length());
  EXPECT_EQ(1, option.optionType);
  EXPECT_FLOAT_EQ(25.0f, option.strikePrice);
  EXPECT_DOUBLE_EQ(40543.0, option.expirationDate);
  EXPECT_FLOAT_EQ(-0.02f, option.theta);
  EXPECT_FLOAT_EQ(0.01f, option.rho);
  EXPECT_EQ(7, option.volume);
  EXPECT_EQ(0, option.openInterest);
  EXPECT_EQ(0, option.group);
  EXPECT_EQ(0, option.individual);

  NstdOptionEntry nstd("X1", "X", 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 42);
  EXPECT_EQ(42, nstd.rootId);
  EXPECT_EQ(11, nstd.volume);
  EXPECT_FLOAT_EQ(10.0f, nstd.rho);

  IVSurfaceEntry surface("MSFT", 30, 101.5f, -5, 1, 0.25f, 0.4f);
  EXPECT_EQ(30, surface.term);
  EXPECT_EQ(-5, surface.otm);
  EXPECT_EQ(1, surface.optionType);
  EXPECT_FLOAT_EQ(101.5f, surface.virtualStrike);
  EXPECT_FLOAT_EQ(0.25f, surface.iv);
  EXPECT_FLOAT_EQ(0.4f, surface.delta);
  EXPECT_TRUE(surface.ivItem.Empty());
}

TEST(DataHolderKeys, OrderBySymbolThenEachParameter) {
  std::map<IVSurfaceKey, int> surfaces;
  surfaces[IVSurfaceKey("A", 30, 5, 0)] = 1;
  surfaces[IVSurfaceKey("A", 30, 5, 1)] = 2;
  surfaces[IVSurfaceKey("A", 30, -5, 0)] = 3;
  surfaces[IVSurfaceKey("B", 30, 5, 0)] = 4;
  surfaces[IVSurfaceKey("A", 30, 5, 0)] = 5;  // the same key again
  EXPECT_EQ(4u, surfaces.size());
  EXPECT_EQ(5, surfaces.at(IVSurfaceKey("A", 30, 5, 0)));

  std::map<IVIndexKey, int> indexes{{IVIndexKey("A", 30), 1}, {IVIndexKey("A", 60), 2}};
  EXPECT_EQ(2, indexes.at(IVIndexKey("A", 60)));
  EXPECT_EQ(0u, indexes.count(IVIndexKey("a", 60)));  // symbols compare exactly

  std::map<AtmKey, int> atm{{AtmKey("A", 40179), 1}, {AtmKey("A", 40210), 2}};
  EXPECT_EQ(1, atm.at(AtmKey("A", 40179)));
}

// Fills every group so that Clear and the destructor have something in
// each container; the sanitizer build catches what either leaks.
void FillEveryGroup(CDataHolder& store) {
  auto* stock = new StockEntry("MSFT", 1, 2);
  stock->hvByTerm[30] = HvEntry{0.2f, 7};
  store.stock.entries.push_back(stock);
  store.stock.bySymbol["MSFT"] = stock;
  store.stock.byTopic[11] = stock;

  auto* future = new FutureEntry("/ES", 1, 2);
  store.futures.entries.push_back(future);
  store.futures.bySymbol["/ES"] = future;
  store.futures.byTopic[12] = future;

  auto fillOptions = [](OptionGroup<OptionEntry>& group, const char* symbol) {
    auto* option = new OptionEntry(symbol, "", 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0);
    group.entries.push_back(option);
    group.bySymbol[symbol] = option;
    group.byTopic[13] = option;
    group.underlyingOf[symbol] = "U";
  };
  fillOptions(store.option, "O1");
  fillOptions(store.futOption, "FO1");
  auto* nstd = new NstdOptionEntry("N1", "", 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 3);
  store.nstdOption.entries.push_back(nstd);
  store.nstdOption.bySymbol["N1"] = nstd;

  for (IVIndexGroup* group : {&store.ivIndex, &store.futIvIndex}) {
    auto* entry = new IVIndexEntry("MSFT", 30, 0.1f, 0.2f);
    group->entries.push_back(entry);
    group->byKey.emplace(IVIndexKey("MSFT", 30), entry);
    group->bySymbolAll.emplace("MSFT", entry);
  }
  for (IVSurfaceGroup* group : {&store.ivSurface, &store.futIvSurface}) {
    auto* entry = new IVSurfaceEntry("MSFT", 30, 1, 5, 0, 0.1f, 0.2f);
    group->entries.push_back(entry);
    group->byKey.emplace(IVSurfaceKey("MSFT", 30, 5, 0), entry);
  }
  auto* atm = new AtmEntry("MSFT", 40179, 0.3f);
  store.atm.entries.push_back(atm);
  store.atm.byKey.emplace(AtmKey("MSFT", 40179), atm);
  store.atm.bySymbolAll.emplace("MSFT", atm);
}

TEST(DataHolderClear, EmptiesEveryGroupButKeepsTheTablesOutsideThem) {
  CDataHolder store;
  FillEveryGroup(store);
  store.interestRates[30] = 0.05f;
  store.topicOfSymbol["MSFT"] = 11;

  store.Clear();

  EXPECT_TRUE(store.stock.entries.empty());
  EXPECT_TRUE(store.stock.bySymbol.empty());
  EXPECT_TRUE(store.stock.byTopic.empty());
  EXPECT_TRUE(store.futures.entries.empty());
  for (auto* group : {&store.option, &store.futOption}) {
    EXPECT_TRUE(group->entries.empty());
    EXPECT_TRUE(group->bySymbol.empty());
    EXPECT_TRUE(group->byTopic.empty());
    EXPECT_TRUE(group->underlyingOf.empty());
  }
  EXPECT_TRUE(store.nstdOption.entries.empty());
  EXPECT_TRUE(store.nstdOption.bySymbol.empty());
  for (auto* group : {&store.ivIndex, &store.futIvIndex}) {
    EXPECT_TRUE(group->entries.empty());
    EXPECT_TRUE(group->byKey.empty());
    EXPECT_TRUE(group->bySymbolAll.empty());
  }
  for (auto* group : {&store.ivSurface, &store.futIvSurface}) {
    EXPECT_TRUE(group->entries.empty());
    EXPECT_TRUE(group->byKey.empty());
  }
  EXPECT_TRUE(store.atm.entries.empty());
  EXPECT_TRUE(store.atm.byKey.empty());
  EXPECT_TRUE(store.atm.bySymbolAll.empty());

  EXPECT_EQ(1u, store.interestRates.size());
  EXPECT_EQ(1u, store.topicOfSymbol.size());

  // The store stays usable after a clear.
  FillEveryGroup(store);
  EXPECT_EQ(1u, store.stock.entries.size());
}

TEST(DataHolderClear, DestructorFreesWhatIsLeft) {
  // Enough entries that what they hold stands out from anything else the
  // test allocates meanwhile.
  auto fill = [](CDataHolder& store) {
    for (int i = 0; i < 2000; ++i) {
      const _bstr_t symbol(("SYM" + std::to_string(i)).c_str());
      auto* stock = new StockEntry(symbol, 1, 2);
      stock->hvByTerm[30] = HvEntry{0.2f, 7};
      store.stock.entries.push_back(stock);
      store.stock.bySymbol[symbol] = stock;
    }
    FillEveryGroup(store);
  };
#if ORV_LEAK_CHECK
  auto store = std::make_unique<CDataHolder>();
  fill(*store);
  store.reset();
  EXPECT_EQ(__lsan_do_recoverable_leak_check(), 0);
#else
  const size_t before = mallinfo2().uordblks;
  auto store = std::make_unique<CDataHolder>();
  fill(*store);
  const size_t filled = mallinfo2().uordblks;
  ASSERT_GT(filled, before + 100000);
  store.reset();
  EXPECT_LT(mallinfo2().uordblks, before + (filled - before) / 10);
#endif
}

TEST(DataHolderLocks, GroupLocksAreReentrantAndIndependent) {
  CDataHolder store;
  StoreGuard outer(store.stock.lock);
  {
    // A nested advise request takes the lock its posting pass holds.
    StoreGuard inner(store.stock.lock);
  }
  // Another thread is kept out of the held group but not out of others.
  std::atomic<bool> gotStock{true};
  std::atomic<bool> gotAtm{false};
  std::thread other([&] {
    gotStock = TryEnterCriticalSection(&store.stock.lock.Section()) != FALSE;
    if (gotStock) store.stock.lock.Leave();
    gotAtm = TryEnterCriticalSection(&store.atm.lock.Section()) != FALSE;
    if (gotAtm) store.atm.lock.Leave();
  });
  other.join();
  EXPECT_FALSE(gotStock);
  EXPECT_TRUE(gotAtm);
}

TEST(DataHolderLocks, ClearWaitsForAGroupHeldElsewhereAndReleasesAll) {
  CDataHolder store;
  FillEveryGroup(store);
  std::atomic<bool> held{false};
  std::atomic<bool> release{false};
  std::thread holder([&] {
    StoreGuard guard(store.ivSurface.lock);
    held = true;
    while (!release) std::this_thread::yield();
    // Still ours: Clear has not touched the group.
    EXPECT_EQ(1u, store.ivSurface.entries.size());
  });
  while (!held) std::this_thread::yield();

  std::atomic<bool> cleared{false};
  std::thread clearer([&] {
    store.Clear();
    cleared = true;
  });
  // Clear holds the groups before the surface one and waits for it.
  for (;;) {
    if (TryEnterCriticalSection(&store.stock.lock.Section())) {
      store.stock.lock.Leave();
      std::this_thread::yield();
      continue;
    }
    break;
  }
  EXPECT_FALSE(cleared);
  release = true;
  holder.join();
  clearer.join();
  EXPECT_TRUE(cleared);
  EXPECT_TRUE(store.ivSurface.entries.empty());
  // Every lock is free again.
  std::thread check([&] {
    StoreLock* all[] = {&store.stock.lock,      &store.futures.lock,  &store.option.lock,
                        &store.nstdOption.lock, &store.futOption.lock, &store.ivIndex.lock,
                        &store.ivSurface.lock,  &store.futIvIndex.lock, &store.futIvSurface.lock,
                        &store.atm.lock};
    for (StoreLock* lock : all) {
      EXPECT_TRUE(TryEnterCriticalSection(&lock->Section()));
      lock->Leave();
    }
  });
  check.join();
}

}  // namespace
