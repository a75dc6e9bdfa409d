// Feeds arbitrary octets through a session's walk of a pulled message: the
// stock blocks reach the stock tables, blocks of kinds without a table are
// stepped over or end the message. The first octet is the protocol selector
// of the message corpus.
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

#include "feed/CDataHolder.h"
#include "feed/CSettings.h"
#include "platform/log/Log.h"
#include "tests/feed/TestClient.h"

namespace {

// One session for the run, ended (threads joined, folder removed) at exit
// before the log it writes to goes.
struct FuzzSession {
  FuzzSession() {
    dir = (std::filesystem::temp_directory_path() / ("orv-walk-fuzz-" + std::to_string(::getpid()))).string();
    std::filesystem::create_directories(dir);
    ::setenv("USERPROFILE", dir.c_str(), 1);
    orvlog::SetLevel(orvlog::kError + 1);
    CSettings::SetDefaults();
    session = std::make_unique<CDataHolder>(u"fuzz", nullptr, nullptr);
    session->Initialize();
  }
  ~FuzzSession() {
    session.reset();
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }
  std::string dir;
  std::unique_ptr<CDataHolder> session;
};

CDataHolder* Session() {
  static FuzzSession fuzz;
  return fuzz.session.get();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  CSettings::ProtocolVersion = (data[0] & 1) ? 2 : 0;
  Session()->_UpdateLocalStorage(data + 1, size - 1, false);
  return 0;
}
