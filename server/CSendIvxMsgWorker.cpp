#include "server/CSendIvxMsgWorker.h"

#include "server/EventTaskSupport.h"

namespace {
const orvsrv::EventTaskTexts kTexts = {
    "TASK: Send ivx message to client started",
    "TASK: Send ivx message to client completed",
    "ERROR: CSendIvxMsgWorker::DoTask() Code = ",
    "ERROR: CSendIvxMsgWorker::DoTask() method unknown error",
};
}  // namespace

CSendIvxMsgWorker::CSendIvxMsgWorker(const CEventClientPtr& client, IIVIndexesEnt* cursor)
    : m_event(client), m_cursor(cursor) {}

CSendIvxMsgWorker::~CSendIvxMsgWorker() {
  orvsrv::ReleaseTaskCursor(m_cursor, "ERROR: CSendIvxMsgWorker::~CSendIvxMsgWorker() method unknown error");
}

void CSendIvxMsgWorker::DoTask() {
  orvsrv::RunEventTask(m_event, kTexts, m_cursor,
                       [cursor = m_cursor](CZmOrvEventSource& source) { source.Fire_OnIVIndexChange(cursor); });
}
