// The worker class of the table objects' event pools: each posted task runs
// once, whatever it throws stays on the pool thread, and the task is deleted.
// Every pool thread lives in the multithreaded COM apartment, since the
// tasks fire events on COM objects.
#pragma once

#include "feed/CWorkerInterface.h"
#include "platform/pool/CThreadPool.h"

class CZmThreadPool {
 public:
  typedef CWorkerInterface* RequestType;

  bool Initialize(void* workerParam);
  void Execute(RequestType request, void* workerParam, void* overlapped);
  void Terminate(void* workerParam);
  // A task the pool never ran.
  static void Discard(RequestType request) { delete request; }

 private:
  bool m_inApartment = false;
};

typedef CThreadPool<CZmThreadPool> CEventPool;
