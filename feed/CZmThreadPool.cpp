#include "feed/CZmThreadPool.h"

#include "log/Log.h"

bool CZmThreadPool::Initialize(void* /*workerParam*/) { return true; }

void CZmThreadPool::Execute(RequestType request, void* /*workerParam*/, void* /*overlapped*/) {
  if (request == nullptr) return;
  try {
    request->DoTask();
  } catch (...) {
    // An event that cannot be delivered is lost; the pool thread goes on.
    ORV_LOG(orvlog::kDebug, "Exception: " << __FILE__ << ":" << __LINE__);
  }
  delete request;
}

void CZmThreadPool::Terminate(void* /*workerParam*/) {}
