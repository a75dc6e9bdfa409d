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
    : m_client(client), m_cursor(cursor) {}

CSendFutureOptionMsgWorker::CSendFutureOptionMsgWorker(const CEventClientPtr& client, IFutOptionsEnt* cursor,
                                                       BYTE /*direct*/)
    : m_client(client), m_cursor(cursor) {}

CSendFutureOptionMsgWorker::~CSendFutureOptionMsgWorker() {
  orvsrv::ReleaseTaskCursor(
      m_cursor, "ERROR: CSendFutureOptionMsgWorker::~CSendFutureOptionMsgWorker() method unknown error");
}

void CSendFutureOptionMsgWorker::DoTask() {
  orvsrv::RunEventTask(m_client, kTexts,
                       [this](CZmOrvEventSource& source) { source.Fire_OnFutOptionsChange(m_cursor); });
}
