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
    : m_client(client), m_cursor(cursor), m_direct(direct) {}

CSendStockMsgWorker::~CSendStockMsgWorker() {
  orvsrv::ReleaseTaskCursor(m_cursor,
                            "ERROR: CSendStockMsgWorker::~CSendStockMsgWorker() method unknown error");
}

void CSendStockMsgWorker::DoTask() {
  orvsrv::RunEventTask(m_client, kTexts, [this](CZmOrvEventSource& source) {
    m_direct ? source.Fire_OnDirectStocksChange(m_cursor) : source.Fire_OnStocksChange(m_cursor);
  });
}
