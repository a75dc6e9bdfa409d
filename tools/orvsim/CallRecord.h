// One received call: its arguments and result go to the journal and, at
// debug level, to the log when the call ends (also when it ends by throwing).
#pragma once

#include <chrono>
#include <sstream>
#include <string>

#include "MessageTypes.h"
#include "SimServer.h"
#include "platform/log/Log.h"

namespace orvsim {

class CallRecord {
 public:
  CallRecord(SimServer* server, long manager, Side side, const char* op)
      : server_(server), manager_(manager), side_(side), op_(op),
        time_(std::chrono::duration<double>(
                  std::chrono::system_clock::now().time_since_epoch()).count()) {}
  CallRecord(const CallRecord&) = delete;
  CallRecord& operator=(const CallRecord&) = delete;

  ~CallRecord() {
    const std::string args = args_.str();
    ORV_LOG(orvlog::kDebug, ServiceName(side_) << " manager " << manager_ << " " << op_ << "("
                                               << args << ") -> " << result_);
    server_->Journal().Add(time_, manager_, side_, op_, args, result_);
  }

  std::ostringstream& Args() { return args_; }
  int16_t Status(int16_t status) {
    result_ = status == 0 ? "0" : StatusName(status);
    return status;
  }
  void Result(std::string r) { result_ = std::move(r); }

 private:
  SimServer* server_;
  long manager_;
  Side side_;
  const char* op_;
  double time_;
  std::ostringstream args_;
  std::string result_ = "exception";
};

}  // namespace orvsim
