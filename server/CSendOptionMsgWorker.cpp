#include "server/CSendOptionMsgWorker.h"

#include "server/EventTaskSupport.h"

namespace {
const orvsrv::EventTaskTexts kTexts = {
    "TASK: Send option message to client started",
    "TASK: Send option message to client completed",
    "ERROR: CSendOptionMsgWorker::DoTask() Code = ",
    "ERROR: CSendOptionMsgWorker::DoTask() method unknown error",
};
}  // namespace

CSendOptionMsgWorker::CSendOptionMsgWorker(const CEventClientPtr& client, IOptionsEnt* cursor, bool direct)
    : m_client(client), m_cursor(cursor), m_direct(direct) {}

CSendOptionMsgWorker::~CSendOptionMsgWorker() {
  orvsrv::ReleaseTaskCursor(m_cursor,
                            "ERROR: CSendOptionMsgWorker::~CSendOptionMsgWorker() method unknown error");
}

void CSendOptionMsgWorker::DoTask() {
  orvsrv::RunEventTask(m_client, kTexts, [this](CZmOrvEventSource& source) {
    m_direct ? source.Fire_OnDirectOptionsChange(m_cursor) : source.Fire_OnOptionsChange(m_cursor);
  });
}
