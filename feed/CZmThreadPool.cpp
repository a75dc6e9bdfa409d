#include "feed/CZmThreadPool.h"

#include "platform/com/com.h"
#include "platform/log/Log.h"

bool CZmThreadPool::Initialize(void* /*workerParam*/) {
  m_inApartment = SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED));
  if (!m_inApartment) ORV_LOG(orvlog::kError, "ERROR: CZmThreadPool::Initialize() cannot enter the COM apartment");
  return m_inApartment;
}

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

void CZmThreadPool::Terminate(void* /*workerParam*/) {
  if (m_inApartment) CoUninitialize();
  m_inApartment = false;
}
