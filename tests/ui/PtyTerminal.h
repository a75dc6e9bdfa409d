// A pseudo-terminal for tests that talk to a prompt as a person would:
// wait for a question, then type the answer.
#pragma once

#include <poll.h>
#include <pty.h>
#include <unistd.h>

#include <chrono>
#include <string>

class PtyTerminal {
 public:
  PtyTerminal() {
    char name[256] = "";
    if (openpty(&master_, &slave_, name, nullptr, nullptr) == 0) path_ = name;
  }
  ~PtyTerminal() {
    if (master_ >= 0) close(master_);
    if (slave_ >= 0) close(slave_);
  }
  PtyTerminal(const PtyTerminal&) = delete;
  PtyTerminal& operator=(const PtyTerminal&) = delete;

  bool ok() const { return !path_.empty(); }
  const char* path() const { return path_.c_str(); }

  // Everything the program wrote (and the terminal echoed) so far.
  const std::string& seen() const { return seen_; }

  // Reads until `text` has appeared after what earlier waits consumed;
  // false after a bounded wait.
  bool WaitFor(const std::string& text, int timeoutMs = 10000) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      size_t at = seen_.find(text, consumed_);
      if (at != std::string::npos) {
        consumed_ = at + text.size();
        return true;
      }
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                      deadline - std::chrono::steady_clock::now())
                      .count();
      if (left <= 0) return false;
      pollfd p{master_, POLLIN, 0};
      if (poll(&p, 1, int(left)) <= 0) continue;
      char buffer[512];
      ssize_t n = read(master_, buffer, sizeof buffer);
      if (n > 0) seen_.append(buffer, size_t(n));
    }
  }

  void Type(const std::string& text) {
    ssize_t n = write(master_, text.data(), text.size());
    (void)n;
  }

 private:
  int master_ = -1;
  int slave_ = -1;
  std::string path_;
  std::string seen_;
  size_t consumed_ = 0;
};
