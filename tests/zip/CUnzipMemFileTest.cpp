#include "zip/CUnzipMemFile.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "zip/CUnzipException.h"

namespace {

int CodeOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const CUnzipException& e) {
    return e.m_iCause;
  }
  return 0;
}

TEST(CUnzipMemFile, WritesGrowInWholeStepsAndReadsBack) {
  CUnzipMemFile f;
  EXPECT_TRUE(f.IsClosed());
  std::string a(1500, 'a');
  f.Write(a.data(), static_cast<uint32_t>(a.size()));
  EXPECT_EQ(f.GetLength(), 1500u);
  EXPECT_EQ(f.GetPosition(), 1500u);
  EXPECT_EQ(f.GetBufferSize(), 2048u);
  f.Write("bc", 2);
  f.Write(nullptr, 0);  // nothing to write is no error, even with no buffer
  EXPECT_EQ(f.GetLength(), 1502u);

  // Overwriting in the middle leaves the length alone.
  f.Seek(10, CUnzipAbstractFile::begin);
  f.Write("XY", 2);
  EXPECT_EQ(f.GetLength(), 1502u);
  EXPECT_EQ(f.GetPosition(), 12u);

  EXPECT_EQ(f.SeekToBegin(), 0u);
  std::vector<char> back(2000);
  EXPECT_EQ(f.Read(back.data(), 2000), 1502u);
  EXPECT_EQ(std::string(back.data() + 8, 6), "aaXYaa");
  EXPECT_EQ(std::string(back.data() + 1500, 2), "bc");
  EXPECT_EQ(f.Read(back.data(), 10), 0u) << "reading at the end yields nothing";
  EXPECT_FALSE(f.IsClosed());
  EXPECT_FALSE(f.Open("/etc/passwd", 0, false));
  EXPECT_EQ(f.GetFilePath(), "");
}

TEST(CUnzipMemFile, SeekFromEachOriginAndItsErrors) {
  CUnzipMemFile f;
  f.Write("0123456789", 10);
  EXPECT_EQ(f.Seek(3, CUnzipAbstractFile::begin), 3u);
  EXPECT_EQ(f.Seek(2, CUnzipAbstractFile::current), 5u);
  EXPECT_EQ(f.Seek(-5, CUnzipAbstractFile::current), 0u);
  EXPECT_EQ(f.Seek(-4, CUnzipAbstractFile::end), 6u);
  EXPECT_EQ(f.SeekToEnd(), 10u);
  EXPECT_EQ(f.Seek(99, 7), 10u) << "an unknown origin changes nothing";

  f.Seek(4, CUnzipAbstractFile::begin);
  struct Bad {
    int64_t off;
    int from;
  } bad[] = {{-1, CUnzipAbstractFile::begin},
             {-5, CUnzipAbstractFile::current},
             {-11, CUnzipAbstractFile::end},
             {int64_t(1) << 32, CUnzipAbstractFile::begin},
             {(int64_t(1) << 32) - 10, CUnzipAbstractFile::end},
             {INT64_MIN, CUnzipAbstractFile::current},
             {INT64_MAX, CUnzipAbstractFile::end}};
  for (const Bad& b : bad) {
    EXPECT_EQ(CodeOf([&] { f.Seek(b.off, b.from); }), CUnzipException::memError) << b.off << " from " << b.from;
    EXPECT_EQ(f.GetPosition(), 4u) << "a failed seek does not move";
  }

  // Beyond the end: room is made, the data length is not changed.
  EXPECT_EQ(f.Seek(5000, CUnzipAbstractFile::begin), 5000u);
  EXPECT_EQ(f.GetLength(), 10u);
  EXPECT_GE(f.GetBufferSize(), 5000u);
  EXPECT_EQ(f.GetBufferSize() % 1024, 0u);
}

TEST(CUnzipMemFile, SetLengthWithinAndBeyondCapacity) {
  CUnzipMemFile f;
  f.Write("0123456789", 10);
  f.Seek(2, CUnzipAbstractFile::begin);
  f.SetLength(4);  // fits: length and position both become 4
  EXPECT_EQ(f.GetLength(), 4u);
  EXPECT_EQ(f.GetPosition(), 4u);
  f.Seek(1, CUnzipAbstractFile::begin);
  f.SetLength(3000);  // grows: the position stays
  EXPECT_EQ(f.GetLength(), 3000u);
  EXPECT_EQ(f.GetPosition(), 1u);
  EXPECT_EQ(f.GetBufferSize(), 3072u);
  EXPECT_EQ(CodeOf([&] { f.SetLength(uint64_t(1) << 32); }), CUnzipException::memError);
}

TEST(CUnzipMemFile, AttachedBytesAreReadInPlaceAndNeverGrownOrFreed) {
  unsigned char bytes[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  {
    CUnzipMemFile f;
    f.Write("x", 1);  // an owned buffer, freed by Attach
    f.Attach(bytes, sizeof(bytes));
    EXPECT_EQ(f.GetLength(), 8u);
    unsigned char two[2];
    f.Seek(6, CUnzipAbstractFile::begin);
    EXPECT_EQ(f.Read(two, 5), 2u);
    EXPECT_EQ(two[1], 8);

    f.Seek(6, CUnzipAbstractFile::begin);
    EXPECT_EQ(CodeOf([&] { f.Write("abc", 3); }), CUnzipException::memError) << "past the caller's bytes";
    EXPECT_EQ(bytes[6], 7) << "a refused write changes nothing";
    EXPECT_EQ(CodeOf([&] { f.Seek(9, CUnzipAbstractFile::begin); }), CUnzipException::memError);
    EXPECT_EQ(f.Seek(8, CUnzipAbstractFile::begin), 8u) << "the end itself is a valid position";
  }
  // The destructor closed the file without freeing the caller's bytes
  // (under ASan a free of a stack array would abort).
  EXPECT_EQ(bytes[0], 1);
}

TEST(CUnzipMemFile, DetachHandsTheBufferOverAndCloseForgetsEverything) {
  CUnzipMemFile f;
  f.Write("payload", 7);
  const uint64_t n = f.GetLength();
  unsigned char* p = f.Detach();
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(p), n), "payload");
  EXPECT_TRUE(f.IsClosed());
  EXPECT_EQ(f.GetLength(), 0u);
  EXPECT_EQ(f.GetBufferSize(), 0u);
  std::free(p);  // the receiver's to free

  CUnzipMemFile g;
  g.Write("abc", 3);
  g.Close();
  EXPECT_TRUE(g.IsClosed());
  EXPECT_EQ(g.GetLength(), 0u);
  EXPECT_EQ(g.GetPosition(), 0u);
  // A closed file has grow-by 0 and cannot be written into any more.
  EXPECT_EQ(CodeOf([&] { g.Write("d", 1); }), CUnzipException::memError);
}

TEST(CUnzipMemFile, GrowthThatWouldPassFourGigabytesIsRefused) {
  CUnzipMemFile f;
  f.Write("ab", 2);
  // Position plus count above 2^32 - 1 must not wrap into a small write.
  f.Seek(1, CUnzipAbstractFile::begin);
  std::vector<char> big(16);
  EXPECT_EQ(CodeOf([&] { f.Write(big.data(), UINT32_MAX); }), CUnzipException::memError);
  EXPECT_EQ(f.GetLength(), 2u);
  EXPECT_EQ(f.GetPosition(), 1u);
}

}  // namespace
