#include <gtest/gtest.h>

#include "platform/dde/DdeWire.h"
#include "platform/dde/ddeml.h"

using namespace orvdde;

namespace {

DecodeResult Decode(const std::string& bytes, Frame* f = nullptr, size_t* used = nullptr) {
  Frame scratch;
  size_t n = 0;
  return DecodeFrame(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(),
                     f ? f : &scratch, used ? used : &n);
}

std::vector<Frame> Samples() {
  std::vector<Frame> out(5);
  out[0].type = kConnect;
  out[0].seq = 7;
  out[0].name1 = "ZmDDE";
  out[0].name2 = "IBM\\A";
  out[1].type = kConnectReply;
  out[1].seq = 7;
  out[1].status = 1;
  out[2].type = kTransaction;
  out[2].seq = 0xFFFFFFFF;
  out[2].xtyp = XTYP_POKE;
  out[2].format = CF_TEXT;
  out[2].flags = XTYPF_NODATA;
  out[2].name1 = std::string(255, 'i');
  out[2].hasData = true;
  out[2].data = std::string("a\0b", 3);
  out[3].type = kResult;
  out[3].seq = 9;
  out[3].status = 1;
  out[3].flags = DDE_FACK;
  out[3].format = CF_TEXT;
  out[3].name1 = "Price";
  out[3].hasData = true;  // present but empty is not absent
  out[4].type = kAdviseData;
  out[4].format = CF_TEXT;
  out[4].name1 = "Bid";
  return out;
}

TEST(DdeWire, EveryFrameRoundTripsAndEveryPrefixAsksForMore) {
  for (const Frame& f : Samples()) {
    SCOPED_TRACE(int(f.type));
    std::string bytes = EncodeFrame(f);
    Frame back;
    size_t used = 0;
    ASSERT_EQ(DecodeResult::kFrame, Decode(bytes + "ORVD", &back, &used));
    EXPECT_EQ(bytes.size(), used);  // stops at its own end
    EXPECT_EQ(EncodeFrame(back), bytes);
    EXPECT_EQ(f.name1, back.name1);
    EXPECT_EQ(f.data, back.data);
    EXPECT_EQ(f.hasData, back.hasData);
    for (size_t n = 0; n < bytes.size(); ++n)
      ASSERT_EQ(DecodeResult::kNeedMore, Decode(bytes.substr(0, n))) << n;
  }
}

TEST(DdeWire, MalformedFramesAreRefused) {
  std::string good = EncodeFrame(Samples()[3]);
  auto with = [&](size_t at, char byte) {
    std::string s = good;
    s[at] = byte;
    return s;
  };
  auto payload = [](uint8_t type, const std::string& body) {
    std::string s("ORVD\x01", 5);
    s.push_back(char(type));
    s += std::string(2, '\0');
    uint32_t n = uint32_t(body.size());
    for (int i = 0; i < 4; ++i) s.push_back(char(n >> (8 * i)));
    return s + body;
  };
  std::string seq(4, '\0');
  struct Case {
    const char* name;
    std::string bytes;
  } cases[] = {
      {"magic", with(0, 'X')},
      {"magic seen early", "OX"},
      {"version", with(4, 2)},
      {"type 0", with(5, 0)},
      {"type 6", with(5, 6)},
      {"reserved", with(7, 1)},
      {"length over the limit", std::string("ORVD\x01\x05\x00\x00\x01\x00\x00\x01", 12)},
      {"trailing byte", payload(kConnectReply, seq + seq + "x")},
      {"short field", payload(kConnectReply, seq + "ab")},
      {"name over 255", payload(kConnect, seq + std::string("\x00\x01", 2) + std::string(256, 'n') + std::string(2, '\0'))},
      {"name past the end", payload(kConnect, seq + std::string("\x05\x00", 2) + "ab")},
      {"data flag 2", payload(kAdviseData, seq + std::string("\x00\x00\x02", 3) + seq)},
      {"absent data with a length",
       payload(kAdviseData, seq + std::string("\x00\x00\x00\x01\x00\x00\x00", 7) + "z")},
      {"data past the end",
       payload(kAdviseData, seq + std::string("\x00\x00\x01\xff\xff\xff\x0f", 7))},
  };
  for (const Case& c : cases) EXPECT_EQ(DecodeResult::kMalformed, Decode(c.bytes)) << c.name;
}

}  // namespace
