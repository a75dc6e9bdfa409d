#include "server/CSendFutIvsMsgWorker.h"

#include "server/EventTaskSupport.h"

namespace {
const orvsrv::EventTaskTexts kTexts = {
    "TASK: Send future ivs message to client started",
    "TASK: Send future ivs message to client completed",
    "ERROR: CSendFutIvsMsgWorker::DoTask() Code = ",
    "ERROR: CSendFutIvsMsgWorker::DoTask() method unknown error",
};
}  // namespace

CSendFutIvsMsgWorker::CSendFutIvsMsgWorker(const CEventClientPtr& client, IFutIVSurfacesEnt* cursor)
    : m_event(client), m_cursor(cursor) {}

CSendFutIvsMsgWorker::~CSendFutIvsMsgWorker() {
  orvsrv::ReleaseTaskCursor(m_cursor,
                            "ERROR: CSendFutIvsMsgWorker::~CSendFutIvsMsgWorker() method unknown error");
}

void CSendFutIvsMsgWorker::DoTask() {
  orvsrv::RunEventTask(m_event, kTexts, m_cursor,
                       [cursor = m_cursor](CZmOrvEventSource& source) { source.Fire_OnFutIVSurfaceChange(cursor); });
}
