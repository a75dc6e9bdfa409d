#include "feed/CEventClient.h"

std::shared_ptr<CEventClient> CEventClient::Create(CZmOrvEnt* client) { return std::make_shared<CEventClient>(client); }

CEventClient::CEventClient(CZmOrvEnt* client) : m_client(client), m_key(client) { InitializeCriticalSection(&m_cs); }

CEventClient::~CEventClient() { DeleteCriticalSection(&m_cs); }

void CEventClient::Detach() {
  orvwin::CritSecLock lock(m_cs);
  m_client = nullptr;
}

bool CEventClient::IsAttached() {
  orvwin::CritSecLock lock(m_cs);
  return m_client != nullptr;
}
