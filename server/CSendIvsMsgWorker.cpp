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
    : m_client(client), m_cursor(cursor) {}

CSendIvsMsgWorker::~CSendIvsMsgWorker() {
  orvsrv::ReleaseTaskCursor(m_cursor, "ERROR: CSendIvsMsgWorker::~CSendIvsMsgWorker() method unknown error");
}

void CSendIvsMsgWorker::DoTask() {
  orvsrv::RunEventTask(m_client, kTexts,
                       [this](CZmOrvEventSource& source) { source.Fire_OnIVSurfaceChange(m_cursor); });
}
