#include "server/CSendIvsMsgWorker.h"

#include "server/EventTaskSupport.h"

namespace {
const orvsrv::EventTaskTexts kTexts = {
    "TASK: Send ivs message to client started",
    "TASK: Send ivs message to client completed",
    "ERROR: CSendIvsMsgWorker::DoTask() Code = ",
    "ERROR: CSendIvsMsgWorker::DoTask() method unknown error",
};
}  // namespace

CSendIvsMsgWorker::CSendIvsMsgWorker(const CEventClientPtr& client, IIVSurfacesEnt* cursor)
    : m_event(client), m_cursor(cursor) {}

CSendIvsMsgWorker::~CSendIvsMsgWorker() {
  orvsrv::ReleaseTaskCursor(m_cursor, "ERROR: CSendIvsMsgWorker::~CSendIvsMsgWorker() method unknown error");
}

void CSendIvsMsgWorker::DoTask() {
  orvsrv::RunEventTask(m_event, kTexts, m_cursor,
                       [cursor = m_cursor](CZmOrvEventSource& source) { source.Fire_OnIVSurfaceChange(cursor); });
}
