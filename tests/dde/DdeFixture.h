// A DDE server on a thread of its own with a message loop, and the means to
// run code on that thread and to pump the test thread's messages.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <future>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/dde/ddeml.h"
#include "platform/ui/winuser.h"
#include "platform/win/thread.h"

namespace ddetest {

// Every process of these tests gets a runtime folder of its own, so that
// service sockets never meet those of a parallel run.
struct RuntimeFolder {
  RuntimeFolder() {
    char pattern[] = "/tmp/orv-dde-test-XXXXXX";
    if (::mkdtemp(pattern)) {
      path = pattern;
      ::setenv("XDG_RUNTIME_DIR", pattern, 1);
    }
  }
  ~RuntimeFolder() {
    if (!path.empty()) std::system(("rm -rf '" + path + "'").c_str());
  }
  std::string path;
};

// Item names are case-insensitive, as the service's atoms are.
inline std::string Fold(std::string s) {
  for (char& c : s) c = char(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

inline std::string QueryString(DWORD inst, HSZ hsz) {
  char buffer[300] = {};
  DdeQueryStringA(inst, hsz, buffer, sizeof buffer, CP_WINANSI);
  return buffer;
}

inline std::string DataText(HDDEDATA data) {
  DWORD size = 0;
  LPBYTE bytes = DdeAccessData(data, &size);
  std::string text(reinterpret_cast<const char*>(bytes), size);
  DdeUnaccessData(data);
  return text.substr(0, text.find('\0'));
}

// What a callback saw.
struct Seen {
  UINT type;
  UINT format;
  std::string hsz1;
  std::string hsz2;
  DWORD thread;
  std::string data;
  HCONV conversation = nullptr;
};

// A server for service "OrvTest": accepts every topic but "Refused",
// answers CF_TEXT requests and advise requests with the item's value
// (items it has no value for get no data), refuses advise links on
// "NoLink", stores pokes and refuses executes (CBF_FAIL_EXECUTES).
class Server {
 public:
  explicit Server(DWORD commands = CBF_FAIL_EXECUTES | CBF_SKIP_CONNECT_CONFIRMS,
                  const char* service = "OrvTest") {
    std::promise<void> started;
    thread_ = std::thread([this, commands, service, &started] {
      current_ = this;
      threadId_ = GetCurrentThreadId();
      MSG msg;
      PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE);  // the queue exists before anyone posts
      initError_ = DdeInitializeA(&inst_, Callback, commands, 0);
      if (initError_ == DMLERR_NO_ERROR) {
        service_ = DdeCreateStringHandleA(inst_, service, CP_WINANSI);
        registered_ = DdeNameService(inst_, service_, nullptr, DNS_REGISTER) != nullptr;
      }
      started.set_value();
      while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
        if (msg.message == kRun && !msg.hwnd) {
          (*reinterpret_cast<std::function<void()>*>(msg.lParam))();
          continue;
        }
        DispatchMessageA(&msg);
      }
      if (inst_) DdeUninitialize(inst_);
      current_ = nullptr;
    });
    started.get_future().wait();
  }
  ~Server() { Stop(); }

  void Stop() {
    if (!thread_.joinable()) return;
    PostThreadMessageA(threadId_, WM_QUIT, 0, 0);
    thread_.join();
  }

  bool Registered() const { return initError_ == DMLERR_NO_ERROR && registered_; }
  DWORD Instance() const { return inst_; }
  DWORD ThreadId() const { return threadId_; }

  // Runs `f` on the server's thread and waits (bounded) for it to finish.
  bool Run(std::function<void()> f, std::chrono::milliseconds wait = std::chrono::seconds(20)) {
    auto done = std::make_shared<std::promise<void>>();
    auto future = done->get_future();
    auto* call = new std::function<void()>([f, done] {
      f();
      done->set_value();
    });
    PostThreadMessageA(threadId_, kRun, 0, reinterpret_cast<LPARAM>(call));
    bool finished = future.wait_for(wait) == std::future_status::ready;
    if (finished) delete call;  // else the thread still owns it and may yet run it
    return finished;
  }

  // Posts an advise for a topic and item after setting the item's value;
  // an empty item posts every link of the topic and sets nothing.
  void Post(const std::string& topic, const std::string& item, const std::string& value) {
    Run([&] {
      {
        std::lock_guard<std::mutex> g(lock_);
        if (!item.empty()) values_[Fold(item)] = value;
      }
      HSZ t = DdeCreateStringHandleA(inst_, topic.c_str(), CP_WINANSI);
      HSZ i = item.empty() ? nullptr : DdeCreateStringHandleA(inst_, item.c_str(), CP_WINANSI);
      DdePostAdvise(inst_, t, i);
      DdeFreeStringHandle(inst_, t);
      if (i) DdeFreeStringHandle(inst_, i);
    });
  }

  void SetValue(const std::string& item, const std::string& value) {
    std::lock_guard<std::mutex> g(lock_);
    values_[Fold(item)] = value;
  }

  std::vector<Seen> Log() {
    std::lock_guard<std::mutex> g(lock_);
    return seen_;
  }
  std::vector<Seen> Log(UINT type) {
    std::vector<Seen> out;
    for (const Seen& s : Log())
      if (s.type == type) out.push_back(s);
    return out;
  }
  void ClearLog() {
    std::lock_guard<std::mutex> g(lock_);
    seen_.clear();
  }
  // Waits (bounded) until the log holds `count` entries of a type.
  bool WaitFor(UINT type, size_t count) {
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < until) {
      if (Log(type).size() >= count) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return false;
  }

 private:
  static constexpr UINT kRun = WM_APP + 1;

  static HDDEDATA CALLBACK Callback(UINT type, UINT format, HCONV, HSZ hsz1, HSZ hsz2,
                                    HDDEDATA data, ULONG_PTR, ULONG_PTR) {
    Server* self = current_;
    Seen s{type, format, hsz1 ? QueryString(self->inst_, hsz1) : "",
           hsz2 ? QueryString(self->inst_, hsz2) : "", GetCurrentThreadId(),
           data ? DataText(data) : ""};
    std::lock_guard<std::mutex> g(self->lock_);
    self->seen_.push_back(s);
    switch (type) {
      case XTYP_CONNECT:
        return reinterpret_cast<HDDEDATA>(uintptr_t(s.hsz1 != "Refused"));
      case XTYP_ADVSTART:
        return reinterpret_cast<HDDEDATA>(uintptr_t(s.hsz2 != "NoLink"));
      case XTYP_REQUEST:
      case XTYP_ADVREQ: {
        auto it = self->values_.find(Fold(s.hsz2));
        if (format != CF_TEXT || it == self->values_.end()) return nullptr;
        std::string text = it->second;
        return DdeCreateDataHandle(self->inst_, reinterpret_cast<LPBYTE>(&text[0]),
                                   DWORD(text.size() + 1), 0, hsz2, CF_TEXT, 0);
      }
      case XTYP_POKE:
        self->values_[Fold(s.hsz2)] = s.data;
        return reinterpret_cast<HDDEDATA>(uintptr_t(DDE_FACK));
      default:
        return nullptr;
    }
  }

  // One server per thread: the callback finds its own through the thread.
  static inline thread_local Server* current_ = nullptr;
  std::thread thread_;
  DWORD threadId_ = 0;
  DWORD inst_ = 0;
  UINT initError_ = 0;
  HSZ service_ = nullptr;
  bool registered_ = false;
  std::mutex lock_;
  std::vector<Seen> seen_;
  std::map<std::string, std::string> values_;
};

// A client instance on the calling thread; its advise data and
// disconnect notices arrive while Pump runs.
class Client {
 public:
  Client() {
    current_ = this;
    EXPECT_EQ(DMLERR_NO_ERROR, DdeInitializeA(&inst_, Callback, APPCMD_CLIENTONLY, 0));
  }
  ~Client() {
    for (auto& [name, hsz] : names_) DdeFreeStringHandle(inst_, hsz);
    DdeUninitialize(inst_);
    current_ = nullptr;
  }

  DWORD Instance() const { return inst_; }

  HSZ Name(const std::string& text) {
    auto it = names_.find(text);
    if (it != names_.end()) return it->second;
    return names_[text] = DdeCreateStringHandleA(inst_, text.c_str(), CP_WINANSI);
  }

  HCONV Connect(const std::string& topic, const std::string& service = "OrvTest") {
    return DdeConnect(inst_, Name(service), Name(topic), nullptr);
  }

  // The value of a request, or "<none>" with the error code after it.
  std::string Request(HCONV conv, const std::string& item, UINT format = CF_TEXT) {
    HDDEDATA data = DdeClientTransaction(nullptr, 0, conv, Name(item), format, XTYP_REQUEST,
                                         5000, nullptr);
    if (!data) return "<none " + std::to_string(DdeGetLastError(inst_)) + ">";
    std::string text = DataText(data);
    DdeFreeDataHandle(data);
    return text;
  }

  bool Transact(HCONV conv, const std::string& item, UINT type, UINT format = CF_TEXT,
                const std::string& data = "", DWORD* result = nullptr) {
    std::string bytes = data;
    return DdeClientTransaction(data.empty() ? nullptr : reinterpret_cast<LPBYTE>(&bytes[0]),
                                DWORD(bytes.size()), conv, item.empty() ? nullptr : Name(item),
                                format, type, 5000, result) != nullptr;
  }

  // Dispatches the thread's messages until `done` holds (bounded).
  bool PumpUntil(std::function<bool()> done) {
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    MSG msg;
    while (!done()) {
      if (std::chrono::steady_clock::now() > until) return false;
      if (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE))
        DispatchMessageA(&msg);
      else
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
  }

  std::vector<Seen> Log() { return seen_; }
  std::vector<std::string> Values() {
    std::vector<std::string> out;
    for (const Seen& s : seen_)
      if (s.type == XTYP_ADVDATA) out.push_back(s.hsz2 + "=" + s.data);
    return out;
  }
  // The values one conversation's links received, in order.
  std::vector<std::string> ValuesOf(HCONV conversation) {
    std::vector<std::string> out;
    for (const Seen& s : seen_)
      if (s.type == XTYP_ADVDATA && s.conversation == conversation) out.push_back(s.data);
    return out;
  }
  // Dispatches the messages that are waiting, without waiting for more.
  void PumpWaiting() {
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
  }
  bool Disconnected() {
    for (const Seen& s : seen_)
      if (s.type == XTYP_DISCONNECT) return true;
    return false;
  }

 private:
  static HDDEDATA CALLBACK Callback(UINT type, UINT format, HCONV conversation, HSZ hsz1,
                                    HSZ hsz2, HDDEDATA data, ULONG_PTR, ULONG_PTR) {
    Client* self = current_;
    self->seen_.push_back(Seen{type, format, hsz1 ? QueryString(self->inst_, hsz1) : "",
                               hsz2 ? QueryString(self->inst_, hsz2) : "", GetCurrentThreadId(),
                               data ? DataText(data) : "", conversation});
    return type == XTYP_ADVDATA ? reinterpret_cast<HDDEDATA>(uintptr_t(DDE_FACK)) : nullptr;
  }

  static inline thread_local Client* current_ = nullptr;
  DWORD inst_ = 0;
  std::map<std::string, HSZ> names_;
  std::vector<Seen> seen_;
};

}  // namespace ddetest
