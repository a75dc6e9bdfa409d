#include "server/CSendFutureOptionMsgWorker.h"

#include "server/EventTaskSupport.h"

namespace {
const orvsrv::EventTaskTexts kTexts = {
    "TASK: Send option message to client started",
    "TASK: Send option message to client completed",
    "ERROR: CSendFutureOptionMsgWorker::DoTask() Code = ",
    "ERROR: CSendFutureOptionMsgWorker::DoTask() method unknown error",
};
}  // namespace

CSendFutureOptionMsgWorker::CSendFutureOptionMsgWorker(const CEventClientPtr& client, IFutOptionsEnt* cursor)
    : m_event(client), m_cursor(cursor) {}

CSendFutureOptionMsgWorker::CSendFutureOptionMsgWorker(const CEventClientPtr& client, IFutOptionsEnt* cursor,
                                                       BYTE /*direct*/)
    : m_event(client), m_cursor(cursor) {}

CSendFutureOptionMsgWorker::~CSendFutureOptionMsgWorker() {
  orvsrv::ReleaseTaskCursor(
      m_cursor, "ERROR: CSendFutureOptionMsgWorker::~CSendFutureOptionMsgWorker() method unknown error");
}

void CSendFutureOptionMsgWorker::DoTask() {
  orvsrv::RunEventTask(m_event, kTexts, m_cursor,
                       [cursor = m_cursor](CZmOrvEventSource& source) { source.Fire_OnFutOptionsChange(cursor); });
}
