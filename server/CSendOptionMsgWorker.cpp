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
    : m_event(client), m_cursor(cursor), m_direct(direct) {}

CSendOptionMsgWorker::~CSendOptionMsgWorker() {
  orvsrv::ReleaseTaskCursor(m_cursor,
                            "ERROR: CSendOptionMsgWorker::~CSendOptionMsgWorker() method unknown error");
}

void CSendOptionMsgWorker::DoTask() {
  orvsrv::RunEventTask(m_event, kTexts, m_cursor, [cursor = m_cursor, direct = m_direct](CZmOrvEventSource& source) {
    direct ? source.Fire_OnDirectOptionsChange(cursor) : source.Fire_OnOptionsChange(cursor);
  });
}
