#include "feed/DecompressMessage.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <string>
#include <vector>

#include "LogCapture.h"
#include "feed/ReplyLimit.h"

namespace {

// Writes a one-entry archive the way the services wrap a reply.
class ZipBuilder {
 public:
  std::vector<uint8_t> Build(const std::string& name, const std::vector<uint8_t>& content, bool compress,
                             uint32_t crcAdjust = 0) {
    std::vector<uint8_t> packed = content;
    if (compress) {
      z_stream z{};
      deflateInit2(&z, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
      packed.resize(deflateBound(&z, static_cast<uLong>(content.size())) + 16);
      z.next_in = const_cast<Bytef*>(content.data());
      z.avail_in = static_cast<uInt>(content.size());
      z.next_out = packed.data();
      z.avail_out = static_cast<uInt>(packed.size());
      ::deflate(&z, Z_FINISH);
      packed.resize(z.total_out);
      deflateEnd(&z);
    }
    const uint32_t crc = static_cast<uint32_t>(crc32(0, content.data(), static_cast<uInt>(content.size()))) + crcAdjust;
    const uint16_t method = compress ? 8 : 0;
    std::vector<uint8_t> out;
    auto u16 = [&](uint16_t v) { out.push_back(v & 0xFF), out.push_back(v >> 8); };
    auto u32 = [&](uint32_t v) { u16(v & 0xFFFF), u16(v >> 16); };
    u32(0x04034b50);
    u16(20), u16(0), u16(method), u16(0), u16(0);
    u32(crc), u32(static_cast<uint32_t>(packed.size())), u32(static_cast<uint32_t>(content.size()));
    u16(static_cast<uint16_t>(name.size())), u16(0);
    out.insert(out.end(), name.begin(), name.end());
    out.insert(out.end(), packed.begin(), packed.end());
    const uint32_t central = static_cast<uint32_t>(out.size());
    u32(0x02014b50);
    u16(20), u16(20), u16(0), u16(method), u16(0), u16(0);
    u32(crc), u32(static_cast<uint32_t>(packed.size())), u32(static_cast<uint32_t>(content.size()));
    u16(static_cast<uint16_t>(name.size())), u16(0), u16(0), u16(0), u16(0);
    u32(name.back() == '/' ? 0x10 : 0), u32(0);
    out.insert(out.end(), name.begin(), name.end());
    const uint32_t centralSize = static_cast<uint32_t>(out.size()) - central;
    u32(0x06054b50);
    u16(0), u16(0), u16(1), u16(1);
    u32(centralSize), u32(central), u16(0);
    return out;
  }
};

std::vector<uint8_t> Message(size_t n) {
  std::vector<uint8_t> m(n);
  for (size_t i = 0; i < n; ++i) m[i] = static_cast<uint8_t>(i * 7 + (i >> 8));
  return m;
}

TEST(DecompressMessageTest, StoredAndDeflatedEntriesGiveTheMessageAndItsLength) {
  for (bool compress : {false, true}) {
    for (size_t n : {size_t{1}, size_t{14}, size_t{5000}, size_t{200000}}) {
      const std::vector<uint8_t> message = Message(n);
      const std::vector<uint8_t> zip = ZipBuilder().Build("msg", message, compress);
      LogCapture log;
      CMessageBuffer out = DecompressMessage(zip.data(), zip.size());
      ASSERT_TRUE(out) << compress << " " << n;
      ASSERT_EQ(out.size(), n);
      EXPECT_EQ(std::vector<uint8_t>(out.data(), out.data() + out.size()), message);
      EXPECT_TRUE(log.Contains("Decompressed message size " + std::to_string(n)));
    }
  }
}

TEST(DecompressMessageTest, DamagedRepliesGiveNoMessageWithTheirErrorLine) {
  const std::vector<uint8_t> good = ZipBuilder().Build("msg", Message(3000), true);
  std::vector<uint8_t> truncated(good.begin(), good.begin() + static_cast<long>(good.size() / 2));
  std::vector<uint8_t> corruptData = good;
  for (size_t i = 40; i < 120; ++i) corruptData[i] ^= 0x5A;
  const std::vector<uint8_t> badCrc = ZipBuilder().Build("msg", Message(100), false, 1);
  const std::vector<uint8_t> notZip = Message(500);
  const std::vector<uint8_t>* replies[] = {&truncated, &corruptData, &badCrc, &notZip};
  for (const std::vector<uint8_t>* reply : replies) {
    LogCapture log;
    CMessageBuffer out = DecompressMessage(reply->data(), reply->size());
    EXPECT_FALSE(out);
    EXPECT_EQ(out.size(), 0u);
    EXPECT_TRUE(log.Contains("Unzip error ")) << reply->size();
  }
}

TEST(DecompressMessageTest, AReplyThatWouldUnpackPastTheLargestReplyIsRefusedInOneLine) {
  // Zeros deflate about a thousand to one: a small reply, a large output.
  const std::vector<uint8_t> bomb = ZipBuilder().Build("msg", std::vector<uint8_t>(kMaxReplyBytes + 1), true);
  ASSERT_LT(bomb.size(), 100000u);
  // An entry that declares far more than its stream holds.
  std::vector<uint8_t> liar = ZipBuilder().Build("msg", Message(1000), true);
  const uint32_t declared = 0x7FFFFFFF;
  for (size_t at : {size_t{22}, liar.size() - 22 - 46 - 3 + 24}) std::memcpy(&liar[at], &declared, 4);
  const std::vector<uint8_t>* const replies[] = {&bomb, &liar};
  for (const std::vector<uint8_t>* reply : replies) {
    LogCapture log;
    EXPECT_FALSE(DecompressMessage(reply->data(), reply->size()));
    EXPECT_EQ(log.Count("Unzip error"), 1u);
    EXPECT_TRUE(log.Contains("a reply of " + std::to_string(reply->size()) + " bytes would unpack to ")) << reply->size();
  }
  // The largest reply still unpacks.
  const std::vector<uint8_t> largest = ZipBuilder().Build("msg", std::vector<uint8_t>(kMaxReplyBytes), true);
  CMessageBuffer out = DecompressMessage(largest.data(), largest.size());
  ASSERT_TRUE(out);
  EXPECT_EQ(out.size(), kMaxReplyBytes);
}

TEST(DecompressMessageTest, NoBytesIsNoMessageWithoutAnErrorLine) {
  const std::vector<uint8_t> empty = ZipBuilder().Build("msg", {}, false);
  const std::vector<uint8_t> folder = ZipBuilder().Build("dir/", {}, false);
  for (const std::vector<uint8_t>* reply : {&empty, &folder}) {
    LogCapture log;
    EXPECT_FALSE(DecompressMessage(reply->data(), reply->size()));
    EXPECT_FALSE(log.Contains("Unzip")) << "not an error";
    EXPECT_TRUE(log.Contains("Decompressed message size 0"));
  }
  LogCapture log;
  EXPECT_FALSE(DecompressMessage(nullptr, 10));
  EXPECT_TRUE(log.Lines().empty());
}

}  // namespace
