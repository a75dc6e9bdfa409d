#include "platform/com/rpc/Socket.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "platform/log/Log.h"
#include "platform/sys/Syscalls.h"

namespace orvrpc {

void UniqueFd::Reset(int fd) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

namespace {

bool CheckFolder(const std::string& path, std::string* why) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) {
    if (why) *why = path + ": " + std::strerror(errno);
    return false;
  }
  if (!S_ISDIR(st.st_mode)) {
    if (why) *why = path + " is not a folder";
    return false;
  }
  if (st.st_uid != ::geteuid()) {
    if (why) *why = path + " belongs to another user";
    return false;
  }
  if ((st.st_mode & 0077) != 0) {
    // Ours, so we may tighten it rather than give up.
    if (::chmod(path.c_str(), 0700) != 0) {
      if (why) *why = path + " is open to other users and cannot be closed";
      return false;
    }
  }
  return true;
}

bool MakeFolder(const std::string& path, std::string* why) {
  if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
    if (why) *why = "cannot create " + path + ": " + std::strerror(errno);
    return false;
  }
  return CheckFolder(path, why);
}

bool FillAddress(const std::string& path, sockaddr_un* addr) {
  std::memset(addr, 0, sizeof(*addr));
  addr->sun_family = AF_UNIX;
  if (path.size() >= sizeof(addr->sun_path)) {
    errno = ENAMETOOLONG;
    return false;
  }
  std::memcpy(addr->sun_path, path.c_str(), path.size() + 1);
  return true;
}

}  // namespace

std::string SocketFolder(std::string* why) {
  std::string folder;
  const char* xdg = std::getenv("XDG_RUNTIME_DIR");
  if (xdg && *xdg) {
    folder = xdg;
    if (folder.back() != '/') folder += '/';
    folder += "orv";
  } else {
    folder = "/tmp/orv-" + std::to_string(::geteuid());
  }
  if (!MakeFolder(folder, why)) return std::string();
  return folder + "/";
}

std::string ClassSocketPath(const std::string& folder, const std::string& clsidText) {
  return folder + clsidText + ".com";
}

bool PeerIsSameUser(int fd, std::string* why, pid_t* peerPid) {
  ucred cred;
  socklen_t len = sizeof(cred);
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0) {
    if (why) *why = std::string("cannot read peer credentials: ") + std::strerror(errno);
    return false;
  }
  if (peerPid) *peerPid = cred.pid;
  if (cred.uid != ::geteuid()) {
    if (why)
      *why = "peer process " + std::to_string(cred.pid) + " runs as user " +
             std::to_string(cred.uid) + ", not as " + std::to_string(::geteuid());
    return false;
  }
  return true;
}

bool MakeSocketPair(UniqueFd* a, UniqueFd* b) {
  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return false;
  a->Reset(fds[0]);
  b->Reset(fds[1]);
  return true;
}

UniqueFd ConnectUnix(const std::string& path) {
  sockaddr_un addr;
  if (!FillAddress(path, &addr)) return UniqueFd();
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd.Valid()) return fd;
  if (orvsys::ConnectBlocking(fd.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
    int e = errno;
    fd.Reset();
    errno = e;
  }
  return fd;
}

bool SendAll(int fd, const void* data, size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t n = orvsys::Sys().send(fd, p, size, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += n;
    size -= size_t(n);
  }
  return true;
}

bool Listener::Open(const std::string& path, AcceptFn onAccept, std::string* why) {
  Close();
  sockaddr_un addr;
  if (!FillAddress(path, &addr)) {
    if (why) *why = "socket path too long: " + path;
    return false;
  }
  {
    UniqueFd probe = ConnectUnix(path);
    if (probe.Valid()) {
      if (why) *why = "another process already listens on " + path;
      errno = EADDRINUSE;
      return false;
    }
  }
  ::unlink(path.c_str());
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd.Valid() || ::bind(fd.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
      ::listen(fd.Get(), 64) != 0) {
    if (why) *why = "cannot listen on " + path + ": " + std::strerror(errno);
    return false;
  }
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK) != 0) {
    if (why) *why = std::string("cannot create wake-up pipe: ") + std::strerror(errno);
    ::unlink(path.c_str());
    return false;
  }
  wakeRead_.Reset(pipeFds[0]);
  wakeWrite_.Reset(pipeFds[1]);
  path_ = path;
  fd_ = std::move(fd);
  onAccept_ = std::move(onAccept);
  stop_ = false;
  paused_ = false;
  thread_ = std::thread([this] { Run(); });
  ORV_LOG(orvlog::kDebug, "listening on " << path_);
  return true;
}

void Listener::Pause() {
  paused_ = true;
  char c = 0;
  (void)!::write(wakeWrite_.Get(), &c, 1);
}

void Listener::Resume() {
  paused_ = false;
  char c = 0;
  (void)!::write(wakeWrite_.Get(), &c, 1);
}

void Listener::Close() {
  std::lock_guard<std::mutex> lock(mu_);
  if (!fd_.Valid()) return;
  stop_ = true;
  char c = 0;
  (void)!::write(wakeWrite_.Get(), &c, 1);
  if (thread_.joinable()) thread_.join();
  ::unlink(path_.c_str());
  fd_.Reset();
  wakeRead_.Reset();
  wakeWrite_.Reset();
  ORV_LOG(orvlog::kDebug, "closed socket " << path_);
}

void Listener::Run() {
  while (!stop_) {
    pollfd fds[2];
    fds[0].fd = wakeRead_.Get();
    fds[0].events = POLLIN;
    fds[1].fd = fd_.Get();
    fds[1].events = POLLIN;
    // While paused the listening socket is not watched, so connections
    // wait in its backlog instead of being accepted.
    int n = orvsys::Sys().poll(fds, paused_ ? 1 : 2, -1);
    if (n < 0) {
      if (errno == EINTR) continue;
      ORV_LOG(orvlog::kError, "ERROR: poll on " << path_ << ": " << std::strerror(errno));
      return;
    }
    if (fds[0].revents) {
      char buf[64];
      while (::read(wakeRead_.Get(), buf, sizeof(buf)) > 0) {
      }
      continue;
    }
    if (paused_ || !(fds[1].revents & POLLIN)) continue;
    UniqueFd conn(orvsys::Sys().accept4(fd_.Get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (!conn.Valid()) {
      int e = errno;
      if (e == EINTR || e == EAGAIN || e == ECONNABORTED) continue;
      ORV_LOG(orvlog::kWarn, "accept on " << path_ << ": " << std::strerror(e));
      // The connection stays in the backlog, so poll would report it again
      // at once: out of descriptors this would spin. Give the process a
      // moment (a Close still wakes us).
      pollfd wake{wakeRead_.Get(), POLLIN, 0};
      ::poll(&wake, 1, 100);
      continue;
    }
    std::string why;
    if (!PeerIsSameUser(conn.Get(), &why)) {
      ORV_LOG(orvlog::kWarn, "refused connection on " << path_ << ": " << why);
      continue;
    }
    onAccept_(std::move(conn));
  }
}

}  // namespace orvrpc
