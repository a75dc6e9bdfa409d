#include "server/CSendFutIvxMsgWorker.h"

#include "server/EventTaskSupport.h"

namespace {
const orvsrv::EventTaskTexts kTexts = {
    "TASK: Send future ivx message to client started",
    "TASK: Send future ivx message to client completed",
    "ERROR: CSendFutIvxMsgWorker::DoTask() Code = ",
    "ERROR: CSendFutIvxMsgWorker::DoTask() method unknown error",
};
}  // namespace

CSendFutIvxMsgWorker::CSendFutIvxMsgWorker(const CEventClientPtr& client, IFutIVIndexesEnt* cursor)
    : m_event(client), m_cursor(cursor) {}

CSendFutIvxMsgWorker::~CSendFutIvxMsgWorker() {
  orvsrv::ReleaseTaskCursor(m_cursor,
                            "ERROR: CSendFutIvxMsgWorker::~CSendFutIvxMsgWorker() method unknown error");
}

void CSendFutIvxMsgWorker::DoTask() {
  orvsrv::RunEventTask(m_event, kTexts, m_cursor,
                       [cursor = m_cursor](CZmOrvEventSource& source) { source.Fire_OnFutIVIndexChange(cursor); });
}
