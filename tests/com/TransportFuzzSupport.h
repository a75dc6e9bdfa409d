// What the transport's fuzzers and the programs writing their seeds share.
#pragma once

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>

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

// A connection to write seeds with, after making the seeds' folder; null
// when the folder cannot be made.
inline std::shared_ptr<orvrpc::Connection> SeedConnection(const std::string& dir) {
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  if (ec) return nullptr;
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  orvrpc::UniqueFd a, b;
  orvrpc::MakeSocketPair(&a, &b);
  return orvrpc::Connection::Start(std::move(a), nullptr, "seeds");
}

// Saves the body `w` holds, after `prefix`.
inline void SaveSeed(const std::string& dir, const char* name, orvrpc::Writer& w, const std::string& prefix = "") {
  std::string& frame = w.Finish(orvrpc::FrameKind::kRequest, 0);
  std::string body = prefix + frame.substr(orvrpc::kFrameHeaderSize);
  FILE* f = std::fopen((dir + "/" + name).c_str(), "wb");
  if (!f) return;
  std::fwrite(body.data(), 1, body.size(), f);
  std::fclose(f);
}

}  // namespace transportfuzz
