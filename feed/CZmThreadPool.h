// The worker class of the table objects' event pools: each posted task runs
// once, whatever it throws stays on the pool thread, and the task is deleted.
#pragma once

#include "feed/CWorkerInterface.h"
#include "pool/CThreadPool.h"

class CZmThreadPool {
 public:
  typedef CWorkerInterface* RequestType;

  bool Initialize(void* workerParam);
  void Execute(RequestType request, void* workerParam, void* overlapped);
  void Terminate(void* workerParam);
  // A task the pool never ran.
  static void Discard(RequestType request) { delete request; }
};

typedef CThreadPool<CZmThreadPool> CEventPool;
