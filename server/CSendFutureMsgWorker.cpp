#include "server/CSendFutureMsgWorker.h"

#include "server/EventTaskSupport.h"

namespace {
const orvsrv::EventTaskTexts kTexts = {
    "TASK: Send future message to client started ",
    "TASK: Send future message to client completed",
    "ERROR:  CSendFutureMsgWorker::DoTask() Code = ",
    "ERROR: CSendFutureMsgWorker::DoTask() method unknown error",
};
}  // namespace

CSendFutureMsgWorker::CSendFutureMsgWorker(const CEventClientPtr& client, IFuturesEnt* cursor)
    : m_event(client), m_cursor(cursor) {}

CSendFutureMsgWorker::CSendFutureMsgWorker(const CEventClientPtr& client, IFuturesEnt* cursor,
                                           BYTE /*direct*/)
    : m_event(client), m_cursor(cursor) {}

CSendFutureMsgWorker::~CSendFutureMsgWorker() {
  orvsrv::ReleaseTaskCursor(m_cursor,
                            "ERROR: CSendFutureMsgWorker::~CSendFutureMsgWorker() method unknown error");
}

void CSendFutureMsgWorker::DoTask() {
  orvsrv::RunEventTask(m_event, kTexts, m_cursor,
                       [cursor = m_cursor](CZmOrvEventSource& source) { source.Fire_OnFuturesChange(cursor); });
}
