// The transport's plumbing: frame decoding of hostile input, the socket
// folder, listening and the call-thread pool.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <future>
#include <mutex>
#include <vector>

#include "platform/com/rpc/CallPool.h"
#include "platform/com/rpc/Launch.h"
#include "platform/com/rpc/Socket.h"
#include "platform/com/rpc/Wire.h"

using namespace orvrpc;
namespace fs = std::filesystem;

namespace {

std::string Frame(FrameKind kind, uint32_t callId, const std::string& body) {
  Writer w;
  w.Bytes(body.data(), body.size());
  return w.Finish(kind, callId);
}

std::string Patch(std::string frame, size_t at, uint8_t value) {
  frame[at] = static_cast<char>(value);
  return frame;
}

std::string WithLength(std::string frame, uint32_t length) {
  std::memcpy(&frame[12], &length, 4);
  return frame;
}

}  // namespace

TEST(TransportFrames, WholeFramesComeOutHoweverTheBytesArrive) {
  std::string stream = Frame(FrameKind::kRequest, 7, "hello") + Frame(FrameKind::kReply, 7, "") +
                       Frame(FrameKind::kRelease, 0, std::string(3000, 'x'));
  for (size_t chunk : {size_t(1), size_t(5), size_t(17), stream.size()}) {
    FrameDecoder d;
    std::vector<std::pair<FrameHeader, std::string>> got;
    for (size_t at = 0; at < stream.size(); at += chunk) {
      d.Feed(stream.data() + at, std::min(chunk, stream.size() - at));
      FrameHeader h;
      std::string body;
      FrameDecoder::Status s;
      while ((s = d.Next(&h, &body)) == FrameDecoder::Status::kFrame) got.emplace_back(h, body);
      ASSERT_EQ(s, FrameDecoder::Status::kNeedMore) << d.Error();
    }
    ASSERT_EQ(got.size(), 3u) << "chunk " << chunk;
    EXPECT_EQ(got[0].first.kind, FrameKind::kRequest);
    EXPECT_EQ(got[0].first.callId, 7u);
    EXPECT_EQ(got[0].second, "hello");
    EXPECT_EQ(got[1].first.kind, FrameKind::kReply);
    EXPECT_EQ(got[1].second, "");
    EXPECT_EQ(got[2].first.kind, FrameKind::kRelease);
    EXPECT_EQ(got[2].second.size(), 3000u);
    EXPECT_EQ(d.Buffered(), 0u);
  }
}

// Bodies from kLargeBody up are read into a buffer of their own: around
// that size, in pieces of every kind and with small frames on either side,
// each body still comes out whole and byte for byte.
TEST(TransportFrames, LargeBodiesComeOutWholeHoweverTheBytesArrive) {
  auto pattern = [](size_t n, int seed) {
    std::string b(n, '\0');
    for (size_t i = 0; i < n; ++i) b[i] = char((i * 131 + size_t(seed) * 7) % 251);
    return b;
  };
  const size_t sizes[] = {kLargeBody - 1, kLargeBody, kLargeBody + 1, 3 * kLargeBody + 5, 200000};
  std::vector<std::string> bodies;
  std::string stream;
  int seed = 0;
  for (size_t n : sizes) {
    bodies.push_back("small" + std::to_string(seed));
    stream += Frame(FrameKind::kRequest, uint32_t(bodies.size()), bodies.back());
    bodies.push_back(pattern(n, ++seed));
    stream += Frame(FrameKind::kReply, uint32_t(bodies.size()), bodies.back());
  }
  for (size_t chunk : {size_t(7), size_t(4093), size_t(65536 + 3), stream.size()}) {
    SCOPED_TRACE(chunk);
    FrameDecoder d;
    size_t got = 0;
    auto drain = [&] {
      FrameHeader h;
      std::string body;
      FrameDecoder::Status s;
      while ((s = d.Next(&h, &body)) == FrameDecoder::Status::kFrame) {
        ASSERT_LT(got, bodies.size());
        EXPECT_EQ(h.callId, got + 1);
        EXPECT_EQ(h.length, bodies[got].size());
        EXPECT_TRUE(body == bodies[got]) << "body " << got << " differs";
        ++got;
        // Its buffer comes back for a later body of another size.
        GiveBodyBuffer(std::move(body));
      }
      ASSERT_EQ(s, FrameDecoder::Status::kNeedMore) << d.Error();
    };
    for (size_t at = 0; at < stream.size(); at += chunk) {
      d.Feed(stream.data() + at, std::min(chunk, stream.size() - at));
      drain();
    }
    EXPECT_EQ(got, bodies.size());
    EXPECT_EQ(d.Buffered(), 0u);
  }

  // As the connection reads: into Space, never more than it offers, each
  // read as short as the socket gives it.
  FrameDecoder d;
  size_t at = 0, got = 0, step = 0;
  while (at < stream.size()) {
    size_t room = 0;
    char* to = d.Space(&room);
    ASSERT_GT(room, 0u);
    size_t n = std::min({room, stream.size() - at, size_t(1 + (step++ * 7919) % 70000)});
    std::memcpy(to, stream.data() + at, n);
    d.Commit(n);
    at += n;
    FrameHeader h;
    std::string body;
    while (d.Next(&h, &body) == FrameDecoder::Status::kFrame) {
      ASSERT_LT(got, bodies.size());
      EXPECT_TRUE(body == bodies[got]) << "body " << got << " differs";
      ++got;
    }
  }
  EXPECT_EQ(got, bodies.size());
}

// A large body cut off by the end of the stream stays unfinished, and a
// stream that fails after one is over stays failed.
TEST(TransportFrames, ALargeBodyCutShortIsNeverHandedOver) {
  std::string big = Frame(FrameKind::kReply, 9, std::string(kLargeBody * 2, 'z'));
  FrameDecoder d;
  d.Feed(big.data(), big.size() - 1);
  FrameHeader h;
  std::string body;
  EXPECT_EQ(d.Next(&h, &body), FrameDecoder::Status::kNeedMore);
  EXPECT_EQ(d.Buffered(), big.size() - 1 - kFrameHeaderSize);
  d.Feed(big.data() + big.size() - 1, 1);
  ASSERT_EQ(d.Next(&h, &body), FrameDecoder::Status::kFrame);
  EXPECT_EQ(body.size(), kLargeBody * 2);
  std::string bad = Patch(Frame(FrameKind::kRequest, 1, "x"), 0, 'X');
  d.Feed(bad.data(), bad.size());
  d.Feed(big.data(), big.size());
  EXPECT_EQ(d.Next(&h, &body), FrameDecoder::Status::kError);
  EXPECT_EQ(d.Next(&h, &body), FrameDecoder::Status::kError);
}

TEST(TransportFrames, MalformedHeadersFailTheStream) {
  const std::string good = Frame(FrameKind::kRequest, 1, "abc");
  struct Case {
    const char* what;
    std::string bytes;
  } cases[] = {
      {"bad magic", Patch(good, 0, 'X')},
      {"other version", Patch(good, 4, kWireVersion + 1)},
      {"kind zero", Patch(good, 5, 0)},
      {"unknown kind", Patch(good, 5, 9)},
      {"reserved byte", Patch(good, 7, 1)},
      // Refused from the header alone: nobody waits for (or buffers) a
      // body this size.
      {"oversized body", WithLength(good, kMaxFrameBody + 1)},
      {"length all ones", WithLength(good, 0xFFFFFFFFu)},
  };
  for (const auto& c : cases) {
    FrameDecoder d;
    d.Feed(c.bytes.data(), c.bytes.size());
    FrameHeader h;
    std::string body;
    EXPECT_EQ(d.Next(&h, &body), FrameDecoder::Status::kError) << c.what;
    EXPECT_FALSE(d.Error().empty()) << c.what;
    // A failed stream stays failed, even when good frames follow.
    d.Feed(good.data(), good.size());
    EXPECT_EQ(d.Next(&h, &body), FrameDecoder::Status::kError) << c.what;
  }
}

TEST(TransportFrames, ATruncatedFrameWaitsForTheRest) {
  std::string f = Frame(FrameKind::kReply, 3, "0123456789");
  FrameDecoder d;
  d.Feed(f.data(), f.size() - 1);
  FrameHeader h;
  std::string body;
  EXPECT_EQ(d.Next(&h, &body), FrameDecoder::Status::kNeedMore);
  d.Feed(f.data() + f.size() - 1, 1);
  EXPECT_EQ(d.Next(&h, &body), FrameDecoder::Status::kFrame);
  EXPECT_EQ(body, "0123456789");
}

TEST(TransportFrames, ReaderRefusesWhatTheBodyCannotHold) {
  Writer w;
  w.Str16(u"", 0, false);
  w.Str16(nullptr, 0, true);
  w.Str16(u"abc", 3, false);
  std::string frame = w.Finish(FrameKind::kRequest, 1);
  Reader r(frame.data() + kFrameHeaderSize, frame.size() - kFrameHeaderSize);
  std::u16string s;
  EXPECT_TRUE(r.Str16(&s));
  EXPECT_EQ(s, u"");
  EXPECT_FALSE(r.Str16(&s));
  EXPECT_TRUE(r.Str16(&s));
  EXPECT_EQ(s, u"abc");
  r.ExpectEnd();

  // A string or count that claims more than is there is an error, not an
  // allocation of what it claims.
  uint32_t huge = 0x7FFFFFF0u;
  std::string lie(reinterpret_cast<const char*>(&huge), 4);
  Reader r1(lie);
  EXPECT_THROW(r1.Str16(&s), DecodeError);
  Reader r2(lie);
  EXPECT_THROW(r2.Str8(), DecodeError);
  Reader r3(lie);
  EXPECT_THROW(r3.Count(1), DecodeError);
  Reader r4(lie.substr(0, 3));
  EXPECT_THROW(r4.U32(), DecodeError);
}

class TransportFolder : public ::testing::Test {
 protected:
  void SetUp() override {
    base_ = fs::temp_directory_path() /
            ("orv-transport-" + std::to_string(::getpid()) + "-" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(base_);
    fs::create_directories(base_);
    const char* old = std::getenv("XDG_RUNTIME_DIR");
    if (old) oldXdg_ = old;
    hadXdg_ = old != nullptr;
    ::setenv("XDG_RUNTIME_DIR", base_.c_str(), 1);
  }
  void TearDown() override {
    if (hadXdg_) {
      ::setenv("XDG_RUNTIME_DIR", oldXdg_.c_str(), 1);
    } else {
      ::unsetenv("XDG_RUNTIME_DIR");
    }
    fs::remove_all(base_);
  }
  fs::path base_;
  std::string oldXdg_;
  bool hadXdg_ = false;
};

TEST_F(TransportFolder, IsPrivateToTheUser) {
  std::string why;
  std::string folder = SocketFolder(&why);
  ASSERT_FALSE(folder.empty()) << why;
  EXPECT_EQ(folder, (base_ / "orv").string() + "/");
  struct stat st;
  ASSERT_EQ(::stat(folder.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);

  // Loosened by someone: tightened again before use.
  ::chmod(folder.c_str(), 0755);
  ASSERT_FALSE(SocketFolder(&why).empty()) << why;
  ASSERT_EQ(::stat(folder.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);

  // A link in its place could point anywhere: refused.
  fs::remove_all(base_ / "orv");
  fs::create_directories(base_ / "elsewhere");
  fs::create_directory_symlink(base_ / "elsewhere", base_ / "orv");
  EXPECT_TRUE(SocketFolder(&why).empty());
  EXPECT_FALSE(why.empty());
}

TEST_F(TransportFolder, ListenerAcceptsTheSameUserAndNeverStealsALiveSocket) {
  std::string folder = SocketFolder();
  ASSERT_FALSE(folder.empty());
  std::string path = ClassSocketPath(folder, "{TEST}");

  std::promise<pid_t> accepted;
  std::atomic<int> connections{0};
  Listener l;
  std::string why;
  ASSERT_TRUE(l.Open(path, [&](UniqueFd fd) {
    pid_t pid = 0;
    PeerIsSameUser(fd.Get(), nullptr, &pid);
    if (connections++ == 0) accepted.set_value(pid);
  }, &why)) << why;
  UniqueFd c = ConnectUnix(path);
  ASSERT_TRUE(c.Valid());
  EXPECT_EQ(accepted.get_future().get(), ::getpid());

  Listener second;
  EXPECT_FALSE(second.Open(path, [](UniqueFd) {}, &why));
  EXPECT_TRUE(fs::exists(path)) << "the live socket must stay";

  l.Close();
  EXPECT_FALSE(fs::exists(path));
  EXPECT_FALSE(ConnectUnix(path).Valid());

  // A file left behind by a crashed server is replaced.
  std::string stale = path;
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM, 0));
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strcpy(addr.sun_path, stale.c_str());
  ASSERT_EQ(::bind(fd.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
  fd.Reset();  // bound but never listening, its file stays
  ASSERT_TRUE(fs::exists(path));
  Listener fresh;
  EXPECT_TRUE(fresh.Open(path, [](UniqueFd) {}, &why)) << why;
}

TEST(TransportPeers, SocketPairPeerIsThisUser) {
  UniqueFd a, b;
  ASSERT_TRUE(MakeSocketPair(&a, &b));
  pid_t pid = 0;
  std::string why;
  EXPECT_TRUE(PeerIsSameUser(a.Get(), &why, &pid)) << why;
  EXPECT_EQ(pid, ::getpid());
}

TEST_F(TransportFolder, LaunchLocksExcludeEachOtherUntilReleased) {
  std::string path = InstanceLockPath(SocketFolder(), "{X}");
  EXPECT_FALSE(FileLock::IsHeld(path));
  FileLock a, b;
  ASSERT_TRUE(a.TryLock(path));
  EXPECT_TRUE(FileLock::IsHeld(path));
  EXPECT_FALSE(b.TryLock(path));
  EXPECT_FALSE(b.Lock(path, std::chrono::milliseconds(0)));
  std::thread later([&] { a.Unlock(); });
  EXPECT_TRUE(b.Lock(path, std::chrono::seconds(60)));
  later.join();
  EXPECT_TRUE(b.Held());
}

TEST_F(TransportFolder, WaitForSocketGivesUpWhenTheProgramExits) {
  std::string why;
  auto child = ChildProcess::Start("/bin/sh", {"-c", "exit 3"}, &why);
  ASSERT_TRUE(child) << why;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(5);
  UniqueFd fd = WaitForSocket(ClassSocketPath(SocketFolder(), "{NOBODY}"), deadline, child.get());
  EXPECT_FALSE(fd.Valid());
  EXPECT_TRUE(child->Exited());
  EXPECT_EQ(WEXITSTATUS(child->Status()), 3);

  EXPECT_FALSE(ChildProcess::Start("/nonexistent/server", {"-Embedding"}, &why));
}

TEST(TransportLaunch, ProgramFromCommand) {
  EXPECT_EQ(ProgramFromCommand("\"/opt/my dir/ORVE\" -x"), "/opt/my dir/ORVE");
  EXPECT_EQ(ProgramFromCommand("/bin/sh"), "/bin/sh");
  EXPECT_EQ(ProgramFromCommand("/no/such/prog -Automation"), "/no/such/prog");
}

TEST(TransportCallPool, NestedCallsEachGetAThread) {
  // Every task waits for the one it posts: with a fixed number of threads
  // this chain would stall as soon as it was longer than the pool.
  CallPool pool("test");
  constexpr int kDepth = 64;
  std::promise<void> done;
  std::function<void(int)> step = [&](int level) {
    if (level == kDepth) {
      done.set_value();
      return;
    }
    std::promise<void> inner;
    auto f = inner.get_future();
    pool.Post([&, level] {
      step(level + 1);
      inner.set_value();
    });
    f.wait();
  };
  pool.Post([&] { step(0); });
  done.get_future().wait();
  pool.Stop();
  EXPECT_FALSE(pool.Post([] {}));
}

TEST(TransportCallPool, BurstOfPostsAllRunBeforeStopReturns) {
  std::atomic<int> threadsStarted{0}, threadsEnded{0}, ran{0};
  {
    CallPool pool("burst", [&] { ++threadsStarted; }, [&] { ++threadsEnded; });
    for (int i = 0; i < 500; ++i) pool.Post([&] { ++ran; });
    pool.Stop();
  }
  EXPECT_EQ(ran, 500);
  EXPECT_EQ(threadsStarted.load(), threadsEnded.load());
  EXPECT_GE(threadsStarted.load(), 1);
}
