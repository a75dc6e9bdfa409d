#include "server/CSendStockMsgWorker.h"

#include "server/EventTaskSupport.h"

namespace {
const orvsrv::EventTaskTexts kTexts = {
    "TASK: Send stock message to client started ",
    "TASK: Send stock message to client completed",
    "ERROR:  CSendStockMsgWorker::DoTask() Code = ",
    "ERROR: CSendStockMsgWorker::DoTask() method unknown error",
};
}  // namespace

CSendStockMsgWorker::CSendStockMsgWorker(const CEventClientPtr& client, IStocksEnt* cursor, bool direct)
    : m_event(client), m_cursor(cursor), m_direct(direct) {}

CSendStockMsgWorker::~CSendStockMsgWorker() {
  orvsrv::ReleaseTaskCursor(m_cursor,
                            "ERROR: CSendStockMsgWorker::~CSendStockMsgWorker() method unknown error");
}

void CSendStockMsgWorker::DoTask() {
  orvsrv::RunEventTask(m_event, kTexts, m_cursor, [cursor = m_cursor, direct = m_direct](CZmOrvEventSource& source) {
    direct ? source.Fire_OnDirectStocksChange(cursor) : source.Fire_OnStocksChange(cursor);
  });
}
