#include "zip/CUnzipArchive.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "ZipArchives.h"
#include "zip/CUnzipException.h"
#include "zip/CUnzipMemFile.h"

namespace {

using ziptest::Archive;
using ziptest::Bytes;
using ziptest::Expected;

enum Stage { kNone, kOpen, kExtract };

struct Result {
  Stage threwAt = kNone;
  int code = 0;
  std::string text;
  bool extracted = false;
  uint64_t length = 0, capacity = 0, position = 0;
  Bytes data;
};

// A file that holds its bytes in memory but lends none of them: the reader
// reads and writes it through buffers of its own, as any file that is not
// a memory one, where a memory file is read and written in place.
class LendingNothing final : public CUnzipAbstractFile {
 public:
  bool Open(const char* name, unsigned int flags, bool do_throw) override { return mem.Open(name, flags, do_throw); }
  void Close() override { mem.Close(); }
  void Flush() override {}
  uint64_t GetPosition() const override { return mem.GetPosition(); }
  uint64_t Seek(int64_t off, int from) override { return mem.Seek(off, from); }
  uint64_t GetLength() const override { return mem.GetLength(); }
  void SetLength(uint64_t n) override { mem.SetLength(n); }
  std::string GetFilePath() const override { return mem.GetFilePath(); }
  uint32_t Read(void* p, uint32_t n) override { return mem.Read(p, n); }
  void Write(const void* p, uint32_t n) override { mem.Write(p, n); }
  bool IsClosed() const override { return mem.IsClosed(); }

  CUnzipMemFile mem;
};

// The input and the target as the reply decoder has them (memory files,
// read and written in place), or both lending nothing.
struct Files {
  explicit Files(bool lend) : in(lend ? static_cast<CUnzipAbstractFile&>(inFile.mem) : inFile),
                              out(lend ? static_cast<CUnzipAbstractFile&>(outFile.mem) : outFile) {}
  LendingNothing inFile, outFile;
  CUnzipAbstractFile& in;
  CUnzipAbstractFile& out;
};

// The reply decoder's sequence: attach, open, extract entry 0 into a
// growable file with rewind, close, take the buffer over.
Result Unzip(Bytes bytes, uint32_t bufSize = 65536, bool lend = true) {
  Result r;
  Files files(lend);
  CUnzipMemFile& in = files.inFile.mem;
  CUnzipMemFile& out = files.outFile.mem;
  in.Attach(bytes.data(), static_cast<uint32_t>(bytes.size()));
  Stage stage = kOpen;
  try {
    CUnzipArchive zip;
    EXPECT_TRUE(zip.Open(files.in, CUnzipArchive::zipOpen));
    stage = kExtract;
    r.extracted = zip.ExtractFile(0, files.out, true, bufSize);
    zip.Close(false, false);
  } catch (const CUnzipException& e) {
    r.threwAt = stage;
    r.code = e.m_iCause;
    r.text = e.GetErrorDescription();
  }
  r.length = out.GetLength();
  r.capacity = out.GetBufferSize();
  r.position = out.GetPosition();
  unsigned char* p = out.Detach();
  if (p) r.data.assign(p, p + r.length);
  std::free(p);
  EXPECT_EQ(in.GetLength(), bytes.size()) << "the input file is left as it was";
  return r;
}

struct Case {
  const char* archive;
  Stage threwAt;  // kNone: no exception
  int code;       // with an exception
  bool extracted; // without one
};

std::ostream& operator<<(std::ostream& os, const Case& c) { return os << c.archive; }

const char* TextOf(int code) {
  switch (code) {
    case 101: return "Damaged or not a zip file.";
    case 102: return "Crc is mismatched.";
    case 112: return "An incorrect password set for the file being decrypted.";
    case 118:
      return "The central directory was not found in the archive (or you were trying to open not the last volume "
             "of a segmented archive).";
    case 119: return "The Zip64 format has not been enabled for the library, but is required to use the archive.";
    case 120:
      return "WinZip AES encryption has not been enabled for the library, but is required to decompress the "
             "archive.";
    case 504: return "Zlib library error (data error).";
    default: return "";
  }
}

class ArchiveCase : public ::testing::TestWithParam<Case> {};

// Every generated archive through the decoder's sequence: where it fails,
// with which code and text, or whether entry 0 comes out and equals what
// was put in.
TEST_P(ArchiveCase, DecoderSequenceOutcome) {
  const Case& c = GetParam();
  const Result r = Unzip(Archive(c.archive));
  // Through files that lend nothing, every outcome is the same to the byte,
  // down to the target's capacity and position.
  const Result copied = Unzip(Archive(c.archive), 65536, false);
  EXPECT_EQ(copied.threwAt, r.threwAt);
  EXPECT_EQ(copied.code, r.code);
  EXPECT_EQ(copied.extracted, r.extracted);
  EXPECT_EQ(copied.length, r.length);
  EXPECT_EQ(copied.capacity, r.capacity);
  EXPECT_EQ(copied.position, r.position);
  EXPECT_TRUE(copied.data == r.data) << "data differs through files that lend nothing";
  ASSERT_EQ(r.threwAt, c.threwAt) << "code " << r.code << " " << r.text;
  if (c.threwAt != kNone) {
    EXPECT_EQ(r.code, c.code);
    EXPECT_EQ(r.text, TextOf(c.code));
    return;
  }
  ASSERT_EQ(r.extracted, c.extracted);
  const auto want = Expected(c.archive);
  if (c.extracted) {
    ASSERT_TRUE(want.has_value()) << "the generator wrote no expected data";
    EXPECT_EQ(r.length, want->size());
    EXPECT_TRUE(r.data == *want) << "extracted data differs";
    EXPECT_EQ(r.position, 0u);
    EXPECT_EQ(r.capacity % 1024, 0u);
  } else {
    EXPECT_FALSE(want.has_value());
  }
}

const Case kOpenCases[] = {
    {"not_zip", kOpen, 118, false},
    {"eocd_too_far", kOpen, 118, false},
    {"zip64", kOpen, 119, false},
    {"ffff_no_locator", kOpen, 101, false},
    {"this_disk", kOpen, 101, false},
    {"cd_disk", kOpen, 101, false},
    {"cd_past_end", kOpen, 101, false},
    {"cd_wraps", kOpen, 101, false},
    {"size0_with_entries", kOpen, 101, false},
    {"size_without_entries", kOpen, 101, false},
    {"eocd_cut", kOpen, 101, false},
    {"comment_cut", kOpen, 101, false},
    {"cd_signature", kOpen, 101, false},
    {"cd_name_cut", kOpen, 101, false},
    {"extra_overrun", kOpen, 101, false},
    {"extra_stub", kOpen, 101, false},
    {"duplicate_offset", kOpen, 101, false},
    {"namerec_short", kOpen, 101, false},
    {"namerec_no_name", kOpen, 101, false},
    {"namerec_empty", kOpen, 101, false},
    {"empty_archive", kNone, 0, false},
    {"comment_max", kNone, 0, true},
    {"boundary_0", kNone, 0, true},
    {"boundary_1", kNone, 0, true},
    {"boundary_2", kNone, 0, true},
    {"boundary_3", kNone, 0, true},
    {"boundary_4", kNone, 0, true},
    {"prefix", kNone, 0, true},
    {"sorted", kNone, 0, true},
    {"namerec_plain", kNone, 0, true},
    {"namerec_dirname", kNone, 0, false},
    {"namerec_with_comment_cp", kNone, 0, false},
    {"namerec_codepage_only", kNone, 0, true},
    {"namerec_v2", kNone, 0, true},
};
INSTANTIATE_TEST_SUITE_P(Open, ArchiveCase, ::testing::ValuesIn(kOpenCases));

const Case kExtractCases[] = {
    {"stored", kNone, 0, true},
    {"deflated", kNone, 0, true},
    {"deflated_noise", kNone, 0, true},
    {"two_entries", kNone, 0, true},
    {"empty_stored", kNone, 0, true},
    {"empty_deflated", kNone, 0, true},
    {"cmd_stored", kNone, 0, true},
    {"cmd_deflated", kNone, 0, true},
    {"cmd_empty", kNone, 0, true},
    {"cmd_stream", kNone, 0, true},
    {"cmd_dir", kNone, 0, false},
    {"cmd_encrypted", kExtract, 112, false},
    {"stored_badcrc", kExtract, 102, false},
    {"deflated_badcrc", kExtract, 102, false},
    {"short_stream", kNone, 0, false},
    {"huge_usize", kNone, 0, false},
    {"stored_trailing", kNone, 0, true},
    {"short_stored", kNone, 0, false},
    {"truncated_stream", kExtract, 101, false},
    {"truncated_stream_then_more", kExtract, 101, false},
    {"deflated_zero_csize", kExtract, 101, false},
    {"deflated_garbage", kExtract, 504, false},
    {"encrypted", kExtract, 112, false},
    {"aes", kExtract, 120, false},
    {"method_bzip2", kNone, 0, false},
    {"local_signature", kExtract, 101, false},
    {"local_flags", kExtract, 101, false},
    {"local_method", kExtract, 101, false},
    {"local_crc", kExtract, 101, false},
    {"local_csize", kExtract, 101, false},
    {"local_usize", kExtract, 101, false},
    {"local_extra_bad", kExtract, 101, false},
    {"local_csize_zero", kNone, 0, true},
    {"local_crc_descriptor", kNone, 0, true},
    {"local_offset_past_end", kExtract, 101, false},
    {"local_name_cut", kExtract, 101, false},
    {"entry_disk", kExtract, 101, false},
};
INSTANTIATE_TEST_SUITE_P(Extract, ArchiveCase, ::testing::ValuesIn(kExtractCases));

// Which entries count as directories depends on the system that made them.
const Case kDirectoryCases[] = {
    {"dir_0", kNone, 0, false}, {"dir_1", kNone, 0, false}, {"dir_2", kNone, 0, true},
    {"dir_3", kNone, 0, false}, {"dir_4", kNone, 0, false}, {"dir_5", kNone, 0, true},
    {"dir_6", kNone, 0, false}, {"dir_7", kNone, 0, false}, {"dir_8", kNone, 0, false},
    {"dir_9", kNone, 0, true},  {"dir_10", kNone, 0, true},
};
INSTANTIATE_TEST_SUITE_P(Directory, ArchiveCase, ::testing::ValuesIn(kDirectoryCases));

TEST(CUnzipArchive, AnyBufferSizeYieldsTheSameData) {
  // Small buffers drive the refill and end-of-stream paths many times
  // within one entry; an empty entry must still end cleanly.
  for (const char* name : {"deflated", "deflated_noise", "stored", "empty_deflated", "cmd_stream"}) {
    const auto want = Expected(name);
    ASSERT_TRUE(want.has_value());
    for (uint32_t buf : {1u, 7u, 4096u, 65536u, 1u << 20}) {
      for (bool lend : {true, false}) {
        const Result r = Unzip(Archive(name), buf, lend);
        ASSERT_EQ(r.threwAt, kNone) << name << " " << buf << " " << lend << ": " << r.code;
        EXPECT_TRUE(r.extracted) << name << " " << buf << " " << lend;
        EXPECT_TRUE(r.data == *want) << name << " " << buf << " " << lend;
      }
    }
  }
}

TEST(CUnzipArchive, DecoderSequenceLeavesWholeEntryAtStartOfGrowableFile) {
  Bytes bytes = Archive("deflated");
  const auto want = Expected("deflated");
  ASSERT_TRUE(want && want->size() > 3 * 65536) << "the entry must take several buffers";

  CUnzipMemFile in;
  CUnzipMemFile out;
  in.Attach(bytes.data(), static_cast<uint32_t>(bytes.size()));
  CUnzipArchive zip;
  ASSERT_TRUE(zip.Open(in, CUnzipArchive::zipOpen));
  ASSERT_TRUE(zip.ExtractFile(0, out, true, 65536));
  zip.Close(false, false);
  EXPECT_TRUE(zip.IsClosed());
  EXPECT_EQ(out.GetLength(), want->size());
  EXPECT_EQ(out.GetPosition(), 0u);
  EXPECT_EQ(out.GetBufferSize() % 1024, 0u);
  EXPECT_LT(out.GetBufferSize() - out.GetLength(), 1024u) << "grown by single steps of 1024";
  const uint64_t n = out.GetLength();
  unsigned char* p = out.Detach();
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(std::memcmp(p, want->data(), n), 0);
  EXPECT_EQ(out.GetLength(), 0u);
  std::free(p);
}

TEST(CUnzipArchive, RequestsItCannotServeAnswerFalse) {
  Bytes bytes = Archive("two_entries");
  CUnzipMemFile in;
  in.Attach(bytes.data(), static_cast<uint32_t>(bytes.size()));
  CUnzipMemFile out;
  CUnzipArchive zip;
  EXPECT_FALSE(zip.ExtractFile(0, out, true, 65536)) << "not open";
  EXPECT_FALSE(zip.OpenFile(0)) << "not open";
  EXPECT_FALSE(zip.Open(in, 1)) << "only reading is built";
  ASSERT_TRUE(zip.Open(in, CUnzipArchive::zipOpen));
  EXPECT_FALSE(zip.Open(in, CUnzipArchive::zipOpen)) << "already open";
  EXPECT_EQ(zip.GetCount(), 2u);
  EXPECT_FALSE(zip.ExtractFile(0, out, true, 0));
  EXPECT_FALSE(zip.ExtractFile(2, out, true, 65536));
  EXPECT_FALSE(zip.ExtractFile(0xFFFF, out, true, 65536));
  EXPECT_EQ(out.GetLength(), 0u);

  // The second entry, without rewind: the target stays after its data.
  ASSERT_TRUE(zip.ExtractFile(1, out, false, 65536));
  EXPECT_EQ(out.GetLength(), 13u);
  EXPECT_EQ(out.GetPosition(), 13u);
  std::string text(13, '\0');
  out.SeekToBegin();
  out.Read(&text[0], 13);
  EXPECT_EQ(text, "hello, world\n");

  // One entry at a time.
  ASSERT_TRUE(zip.OpenFile(0));
  EXPECT_FALSE(zip.OpenFile(1));
  EXPECT_FALSE(zip.ExtractFile(1, out, true, 65536));
  EXPECT_EQ(zip.CloseFile(), -1) << "nothing of it was read";
  EXPECT_EQ(zip.CloseFile(), 0) << "nothing open";
  zip.Close(false, false);
  EXPECT_TRUE(zip.IsClosed());
  EXPECT_FALSE(zip.ExtractFile(0, out, true, 65536));
  ASSERT_TRUE(zip.Open(in, CUnzipArchive::zipOpen)) << "a closed archive opens again";
}

// One archive, its entries read one after another in several orders, good
// ones after damaged ones and large ones after small ones: an entry comes
// out the same whatever was read before it, in place or through buffers.
TEST(CUnzipArchive, EachEntryComesOutTheSameWhateverCameBefore) {
  Bytes bytes = Archive("mixed");
  const auto text = Expected("mixed");
  ASSERT_TRUE(text.has_value());
  struct Want {
    uint16_t index;
    int code;  // 0: extracted whole
    uint64_t length;
  };
  const Want entries[] = {{0, 0, text->size()}, {1, 0, 13},     {2, CUnzipException::badCrc, 3000},
                          {3, 504, 0},          {4, 0, 3000},   {5, 0, 0},
                          {6, 0, 70000}};
  const std::vector<std::vector<uint16_t>> orders = {{0, 1, 2, 3, 4, 5, 6}, {6, 5, 4, 3, 2, 1, 0}, {1, 0, 2, 0, 3, 6, 1}};
  for (bool lend : {true, false}) {
    for (const auto& order : orders) {
      Files files(lend);
      files.inFile.mem.Attach(bytes.data(), static_cast<uint32_t>(bytes.size()));
      CUnzipArchive zip;
      ASSERT_TRUE(zip.Open(files.in, CUnzipArchive::zipOpen));
      ASSERT_EQ(zip.GetCount(), 7u);
      for (uint16_t index : order) {
        const Want& w = entries[index];
        LendingNothing outFile;
        CUnzipMemFile& mem = outFile.mem;
        CUnzipAbstractFile& out = lend ? static_cast<CUnzipAbstractFile&>(mem) : outFile;
        int code = 0;
        try {
          EXPECT_TRUE(zip.ExtractFile(index, out, true, 65536)) << index;
        } catch (const CUnzipException& e) {
          code = e.m_iCause;
        }
        EXPECT_EQ(code, w.code) << "entry " << index << " lend " << lend;
        EXPECT_EQ(mem.GetLength(), w.length) << "entry " << index << " lend " << lend;
        std::string data(static_cast<size_t>(mem.GetLength()), '\0');
        mem.SeekToBegin();
        if (!data.empty()) mem.Read(&data[0], static_cast<uint32_t>(data.size()));
        if (index == 0) {
          EXPECT_TRUE(Bytes(data.begin(), data.end()) == *text) << "lend " << lend;
        } else if (index == 1) {
          EXPECT_EQ(data, "hello, world\n");
        }
      }
      zip.Close(false, false);
    }
  }
}

// A target that already holds the room is written in place, where the
// entry lands at the target's position among what was there.
TEST(CUnzipArchive, AnAttachedTargetLargeEnoughIsWrittenWhereItStands) {
  Bytes bytes = Archive("two_entries");
  CUnzipMemFile in;
  in.Attach(bytes.data(), static_cast<uint32_t>(bytes.size()));
  std::string room(40, '.');
  CUnzipMemFile out;
  out.Attach(reinterpret_cast<unsigned char*>(&room[0]), static_cast<uint32_t>(room.size()));
  out.Seek(5, CUnzipAbstractFile::begin);
  CUnzipArchive zip;
  ASSERT_TRUE(zip.Open(in, CUnzipArchive::zipOpen));
  ASSERT_TRUE(zip.ExtractFile(1, out, false, 4));
  EXPECT_EQ(out.GetPosition(), 18u);
  EXPECT_EQ(out.GetLength(), 40u);
  EXPECT_EQ(room, ".....hello, world\n......................");
}

TEST(CUnzipArchive, RewindReturnsToWhereTheTargetStood) {
  Bytes bytes = Archive("two_entries");
  CUnzipMemFile in;
  in.Attach(bytes.data(), static_cast<uint32_t>(bytes.size()));
  CUnzipMemFile out;
  out.Write("head:", 5);
  CUnzipArchive zip;
  ASSERT_TRUE(zip.Open(in, CUnzipArchive::zipOpen));
  ASSERT_TRUE(zip.ExtractFile(1, out, true, 65536));
  EXPECT_EQ(out.GetPosition(), 5u);
  EXPECT_EQ(out.GetLength(), 18u);
}

TEST(CUnzipArchive, ATargetThatCannotGrowFailsWithNotEnoughMemory) {
  Bytes bytes = Archive("deflated");
  CUnzipMemFile in;
  in.Attach(bytes.data(), static_cast<uint32_t>(bytes.size()));
  unsigned char small[100];
  CUnzipMemFile out;
  out.Attach(small, sizeof(small));
  out.SeekToBegin();
  CUnzipArchive zip;
  ASSERT_TRUE(zip.Open(in, CUnzipArchive::zipOpen));
  try {
    zip.ExtractFile(0, out, true, 65536);
    FAIL() << "no exception";
  } catch (const CUnzipException& e) {
    EXPECT_EQ(e.m_iCause, CUnzipException::memError);
    EXPECT_EQ(e.GetErrorDescription(), "Not enough memory.");
  }
  // The failed extraction ended its entry: the next one can be read.
  CUnzipMemFile again;
  EXPECT_TRUE(zip.ExtractFile(0, again, true, 65536));
}

TEST(CUnzipArchive, ACrcMismatchEndsTheEntry) {
  Bytes bytes = Archive("deflated_badcrc");
  CUnzipMemFile in;
  in.Attach(bytes.data(), static_cast<uint32_t>(bytes.size()));
  CUnzipMemFile out;
  CUnzipArchive zip;
  ASSERT_TRUE(zip.Open(in, CUnzipArchive::zipOpen));
  EXPECT_THROW(zip.ExtractFile(0, out, true, 65536), CUnzipException);
  EXPECT_EQ(out.GetLength(), 3000u) << "the target keeps what was written";
  EXPECT_EQ(zip.CloseFile(), 0);
  EXPECT_TRUE(zip.OpenFile(0));
  zip.Close(false, false);  // ends the entry left open, without a CRC check
  EXPECT_TRUE(zip.IsClosed());
}

TEST(CUnzipArchive, ADamagedSizeReservesNoRoom) {
  // 3000 bytes of stream cannot inflate to 3.75 GiB: the target grows only
  // with what is actually written, and the short entry answers false.
  const Result r = Unzip(Archive("huge_usize"));
  ASSERT_EQ(r.threwAt, kNone) << r.code;
  EXPECT_FALSE(r.extracted);
  EXPECT_EQ(r.length, 3000u);
  EXPECT_LT(r.capacity, 4096u);

  // A plausible size is reserved at once, to the capacity the writes reach.
  const Result ok = Unzip(Archive("deflated"));
  EXPECT_EQ(ok.capacity, (ok.length + 1023) / 1024 * 1024);
}

TEST(CUnzipArchive, AnEmptyFileHasNoCentralDirectory) {
  CUnzipMemFile in;
  CUnzipArchive zip;
  try {
    zip.Open(in, CUnzipArchive::zipOpen);
    FAIL() << "no exception";
  } catch (const CUnzipException& e) {
    EXPECT_EQ(e.m_iCause, CUnzipException::cdirNotFound);
    EXPECT_EQ(e.m_szFileName, "");
  }
  EXPECT_TRUE(zip.IsClosed()) << "a failed open leaves the archive closed";
}

TEST(CUnzipArchive, OneByteShortAnywhereNeverCrashes) {
  // Every cut of a small archive must give a clear outcome; under the
  // sanitizers this also proves no read goes past the input.
  Bytes full = Archive("two_entries");
  for (size_t cut = 0; cut < full.size(); ++cut) {
    Bytes part(full.begin(), full.begin() + static_cast<long>(cut));
    const Result r = Unzip(part);
    if (r.threwAt == kNone && r.extracted) {
      const auto want = Expected("two_entries");
      EXPECT_TRUE(r.data == *want) << "cut " << cut;
    }
  }
}

}  // namespace
