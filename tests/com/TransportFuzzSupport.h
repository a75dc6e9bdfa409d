// What the transport's fuzzers share.
#pragma once

#include <chrono>
#include <memory>

#include "platform/com/rpc/Connection.h"

namespace transportfuzz {

// A connection whose peer is gone: references decode into proxies that
// need no answer, and releasing them sends nothing.
inline orvrpc::Connection& DeadConnection() {
  static std::shared_ptr<orvrpc::Connection> c = [] {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    orvrpc::UniqueFd a, b;
    orvrpc::MakeSocketPair(&a, &b);
    auto conn = orvrpc::Connection::Start(std::move(a), nullptr, "fuzz");
    b.Reset();
    conn->WaitClosed(std::chrono::seconds(10));
    return conn;
  }();
  return *c;
}

}  // namespace transportfuzz
