#include "platform/ui/login_prompt.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>

namespace {

void WriteAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += size_t(n);
  }
}

// One line without its end; false at end of input or on an error.
bool ReadLine(int fd, std::string* line) {
  line->clear();
  for (;;) {
    char c;
    ssize_t n = read(fd, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    if (c == '\n' || c == '\r') return true;
    line->push_back(c);
  }
}

// Restores the terminal's modes however the prompt ends.
class EchoOff {
 public:
  explicit EchoOff(int fd) : fd_(fd) {
    if (tcgetattr(fd_, &saved_) != 0) return;
    termios quiet = saved_;
    quiet.c_lflag &= ~tcflag_t(ECHO);
    quiet.c_lflag |= ECHONL;
    active_ = tcsetattr(fd_, TCSANOW, &quiet) == 0;
  }
  ~EchoOff() {
    if (active_) tcsetattr(fd_, TCSANOW, &saved_);
  }
  EchoOff(const EchoOff&) = delete;
  EchoOff& operator=(const EchoOff&) = delete;

 private:
  int fd_;
  termios saved_{};
  bool active_ = false;
};

}  // namespace

namespace orvui {

int PromptLogin(const LoginPrompt& prompt, std::string* user, std::string* password,
                const char* terminal) {
  int fd = open(terminal ? terminal : "/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return IDCANCEL;
  // A file or pipe is not a person at a terminal.
  if (!isatty(fd)) {
    close(fd);
    return IDCANCEL;
  }
  std::string newUser, newPassword;
  WriteAll(fd, prompt.caption + "\n" + prompt.userLabel + " [" + *user + "] ");
  bool answered = ReadLine(fd, &newUser);
  if (answered) {
    // Echo goes off before the question is seen, so nothing typed in
    // answer to it can show.
    EchoOff quiet(fd);
    WriteAll(fd, prompt.passwordLabel + (password->empty() ? " [] " : " [*****] "));
    answered = ReadLine(fd, &newPassword);
  }
  close(fd);
  if (!answered) return IDCANCEL;
  if (newUser.empty()) newUser = *user;
  if (newPassword.empty()) newPassword = *password;
  if (newUser.size() > prompt.maxChars) newUser.resize(prompt.maxChars);
  if (newPassword.size() > prompt.maxChars) newPassword.resize(prompt.maxChars);
  *user = newUser;
  *password = newPassword;
  return IDOK;
}

}  // namespace orvui
