// The base of every task posted to a table object's event pool.
#pragma once

class CWorkerInterface {
 public:
  virtual ~CWorkerInterface() = default;
  virtual void DoTask() = 0;
};
