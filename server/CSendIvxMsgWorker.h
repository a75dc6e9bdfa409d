// Raises OnIVIndexChange with one IV index cursor on every sink of one
// client.
//
// The task owns one reference to its cursor, handed over by the producer,
// and holds its client through the counted handle: when the client has gone
// before the task runs, nothing is fired. The pool thread that runs the
// task deletes it; a pool that never runs it deletes it all the same, and
// the cursor goes with it.
#pragma once

#include "feed/CEventClient.h"
#include "feed/CWorkerInterface.h"
#include "server/contract/BraskOrvEntTypes.h"

class CSendIvxMsgWorker : public CWorkerInterface {
 public:
  CSendIvxMsgWorker(const CEventClientPtr& client, IIVIndexesEnt* cursor);
  ~CSendIvxMsgWorker() override;
  CSendIvxMsgWorker(const CSendIvxMsgWorker&) = delete;
  CSendIvxMsgWorker& operator=(const CSendIvxMsgWorker&) = delete;

  void DoTask() override;
  // The event's place in its client's order, for its maker to describe.
  CEventTicket& Event() { return m_event; }

 private:
  CEventTicket m_event;
  IIVIndexesEnt* m_cursor;
};
