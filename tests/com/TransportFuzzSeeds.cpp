// Writes the seed corpus of the frame fuzzer: well-formed frames of every
// kind and the near misses around them.
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/com/rpc/Wire.h"

using namespace orvrpc;

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  std::filesystem::path dir(argv[1]);
  std::filesystem::create_directories(dir);
  int n = 0;
  auto put = [&](const std::string& bytes) {
    std::ofstream(dir / ("seed" + std::to_string(n++)), std::ios::binary) << bytes;
  };
  {
    Writer w;
    w.U64(1);
    w.Bytes("0123456789abcdef", 16);
    w.U8(1);
    w.U16(7);
    w.Str16(u"MSFT", 4, false);
    w.Str16(nullptr, 0, true);
    put(w.Finish(FrameKind::kRequest, 1));
  }
  {
    Writer w;
    w.I32(0);
    w.U8(0);
    w.F32(1.5f);
    w.F64(45000.25);
    put(w.Finish(FrameKind::kReply, 1));
  }
  {
    Writer w;
    w.U32(2);
    w.U64(1);
    w.U32(3);
    w.U64(2);
    w.U32(1);
    put(w.Finish(FrameKind::kRelease, 0));
  }
  {
    Writer a, b;
    a.U32(0);
    b.U8(5);
    put(a.Finish(FrameKind::kRelease, 0) + b.Finish(FrameKind::kRequest, 9));
  }
  {
    Writer w;
    w.U32(0x7FFFFFFF);
    std::string f = w.Finish(FrameKind::kReply, 2);
    put(f);
    put(f.substr(0, 10));
  }
  return 0;
}
