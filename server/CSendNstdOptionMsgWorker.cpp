#include "server/CSendNstdOptionMsgWorker.h"

#include "server/EventTaskSupport.h"

namespace {
const orvsrv::EventTaskTexts kTexts = {
    "TASK: Send nstdoption message to client started",
    "TASK: Send nstdoption message to client completed",
    "ERROR: CSendNstdOptionMsgWorker::DoTask() Code = ",
    "ERROR: CSendNstdOptionMsgWorker::DoTask() method unknown error",
};
}  // namespace

CSendNstdOptionMsgWorker::CSendNstdOptionMsgWorker(const CEventClientPtr& client, INstdOptionsEnt* cursor)
    : m_event(client), m_cursor(cursor) {}

CSendNstdOptionMsgWorker::CSendNstdOptionMsgWorker(const CEventClientPtr& client, INstdOptionsEnt* cursor,
                                                   BYTE /*direct*/)
    : m_event(client), m_cursor(cursor) {}

CSendNstdOptionMsgWorker::~CSendNstdOptionMsgWorker() {
  orvsrv::ReleaseTaskCursor(
      m_cursor, "ERROR: CSendNstdOptionMsgWorker::~CSendNstdOptionMsgWorker() method unknown error");
}

void CSendNstdOptionMsgWorker::DoTask() {
  orvsrv::RunEventTask(m_event, kTexts, m_cursor,
                       [cursor = m_cursor](CZmOrvEventSource& source) { source.Fire_OnNstdOptionsChange(cursor); });
}
