// A new server after the old one was lost: the bridge signs in again on
// its own and asks for everything its DDE links still show.
#include "dde/CDDEServer.h"

namespace zmdde {

void CDDEServer::ForgetLostServer() {
  // The sink's cookie and the main object belong to the server that is
  // gone; a worker may still be in a call on it, so it is kept aside.
  {
    orvwin::CritSecLock events(m_eventLock);
    std::lock_guard<std::mutex> lock(s_serverLock);
    if (IZmOrvEnt* lost = s_server.Detach()) m_lostServers.push_back(lost);
  }
  m_dwEventCookie = kNotAdvised;
  m_connected = 0;
}

bool CDDEServer::Reconnect() {
  if (m_connected && !s_live) ForgetLostServer();
  try {
    SignIn(_bstr_t(m_user.c_str()), _bstr_t(m_password.c_str()), false);
  } catch (const _com_error&) {
    return false;
  }
  return true;
}

namespace {

// No chain is carried by a server that was just signed in to.
template <class Group>
void ForgetChains(Group& group) {
  StoreGuard lock(group.lock);
  for (auto* entry : group.entries) entry->group = 0;
}

}  // namespace

void CDDEServer::QueueLinkedEntries() {
  // Before the chains are forgotten: a worker that marks its chain after
  // this sees it, one that marked it before has its marks cleared here.
  ++m_signIns;
  // The new server holds nothing of what the old one did.
  ForgetChains(g_DataHolder.option);
  ForgetChains(g_DataHolder.nstdOption);
  ForgetChains(g_DataHolder.futOption);
  m_subscriptions.ServerReplaced();
  m_subscriptions.Wake();
}

}  // namespace zmdde
