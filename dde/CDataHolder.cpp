#include "dde/CDataHolder.h"

namespace zmdde {

CDataHolder g_DataHolder;

namespace {

template <class Group>
void DeleteEntries(Group& group) {
  group.changed.Clear();
  for (auto* entry : group.entries) delete entry;
  group.entries.clear();
}

template <class Group>
void ClearSymbolGroup(Group& group) {
  DeleteEntries(group);
  group.bySymbol.clear();
  group.byTopic.clear();
}

template <class Group>
void ClearOptionGroup(Group& group) {
  ClearSymbolGroup(group);
  group.underlyingOf.clear();
}

void ClearIndexGroup(IVIndexGroup& group) {
  DeleteEntries(group);
  group.byKey.clear();
  group.bySymbolAll.clear();
}

void ClearSurfaceGroup(IVSurfaceGroup& group) {
  DeleteEntries(group);
  group.byKey.clear();
}

}  // namespace

CDataHolder::~CDataHolder() { Clear(); }

void CDataHolder::Clear() {
  StoreLock* const order[] = {&stock.lock,      &futures.lock,    &option.lock,
                              &nstdOption.lock, &futOption.lock,  &ivIndex.lock,
                              &ivSurface.lock,  &futIvIndex.lock, &futIvSurface.lock,
                              &atm.lock};
  for (StoreLock* lock : order) lock->Enter();

  ClearSymbolGroup(stock);
  ClearSymbolGroup(futures);
  ClearOptionGroup(option);
  ClearOptionGroup(nstdOption);
  ClearOptionGroup(futOption);
  ClearIndexGroup(ivIndex);
  ClearSurfaceGroup(ivSurface);
  ClearIndexGroup(futIvIndex);
  ClearSurfaceGroup(futIvSurface);
  DeleteEntries(atm);
  atm.byKey.clear();
  atm.bySymbolAll.clear();

  for (int i = static_cast<int>(sizeof(order) / sizeof(order[0])) - 1; i >= 0; --i) {
    order[i]->Leave();
  }
}

}  // namespace zmdde
