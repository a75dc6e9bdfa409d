#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "OrvPayload.h"

namespace {

// Marshalling strings needs the code sets that a started ORB provides.
class OrbEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    int argc = 0;
    orb_ = CORBA::ORB_init(argc, nullptr, "omniORB4");
  }
  void TearDown() override { orb_->destroy(); }

 private:
  CORBA::ORB_var orb_;
};

[[maybe_unused]] ::testing::Environment* const g_env =
    ::testing::AddGlobalTestEnvironment(new OrbEnvironment);

using orvidl::ReplyData;
using orvidl::ReplyOctets;

// Marshals an any and reads it back, as a reply arrives from a service: the
// value is then held in marshalled form until the first extraction.
CORBA::Any OverTheWire(const CORBA::Any& in) {
  cdrMemoryStream stream;
  in >>= stream;
  CORBA::Any out;
  out <<= stream;
  return out;
}

TEST(FieldListAny, CarriesEveryIdAsOneOctetInOrderUnderTheZmDataTypeCode) {
  const std::vector<std::uint8_t> ids = {3, 0, 255, 128, 127, 3};
  CORBA::Any any = orvidl::FieldListAny(ids);
  CORBA::TypeCode_var tc = any.type();
  EXPECT_TRUE(tc->equal(Orv::_tc_ZmData));

  CORBA::Any received = OverTheWire(any);
  ReplyOctets r = ReplyData(&received);
  ASSERT_EQ(r.size, ids.size());
  EXPECT_EQ(std::vector<std::uint8_t>(r.data, r.data + r.size), ids);
}

TEST(FieldListAny, EmptyListIsAZmDataOfLengthZero) {
  CORBA::Any any = orvidl::FieldListAny({});
  const Orv::ZmData* data = nullptr;
  ASSERT_TRUE(any >>= data);
  EXPECT_EQ(data->length(), 0u);
  EXPECT_TRUE(ReplyData(&any).empty());
}

std::vector<std::string> Symbols(std::size_t n) {
  std::vector<std::string> v;
  for (std::size_t i = 0; i < n; ++i) v.push_back("SYM" + std::to_string(i));
  return v;
}

TEST(SymbolGroupAny, AThousandSymbolsAreCopiedIntoTheAny) {
  CORBA::Any any;
  {
    std::vector<std::string> symbols = Symbols(orvidl::kMaxGroupSymbols);
    any = orvidl::SymbolGroupAny(symbols);
    for (std::string& s : symbols) s.assign(s.size(), '#');  // the any must not share them
  }
  CORBA::TypeCode_var tc = any.type();
  EXPECT_TRUE(tc->equal(Orv::_tc_SymbolsGroup));

  CORBA::Any received = OverTheWire(any);
  const Orv::SymbolsGroup* group = nullptr;
  ASSERT_TRUE(received >>= group);
  ASSERT_EQ(group->length(), 1000u);
  EXPECT_STREQ((*group)[0], "SYM0");
  EXPECT_STREQ((*group)[999], "SYM999");
}

TEST(SymbolGroupAny, MoreThanAThousandSymbolsRaiseBadParamAsTheSequenceDoes) {
  // Callers catch the refusal with every other CORBA system exception, so it
  // must be the same exception the bounded sequence raises on its own.
  for (std::size_t n : {std::size_t{1001}, std::size_t{5000}}) {
    EXPECT_THROW(orvidl::SymbolGroupAny(Symbols(n)), CORBA::BAD_PARAM) << n;
  }
  std::vector<char*> buffer(1001, const_cast<char*>("X"));
  EXPECT_THROW(Orv::SymbolsGroup(1001, buffer.data(), false), CORBA::BAD_PARAM);
  EXPECT_NO_THROW(Orv::SymbolsGroup(1000, buffer.data(), false));
}

TEST(SymbolGroupAny, ASymbolLongerThanTheElementBoundIsSentUnchanged) {
  const std::string longSymbol(40, 'Q');
  CORBA::Any received = OverTheWire(orvidl::SymbolGroupAny({"IBM", longSymbol, ""}));
  const Orv::SymbolsGroup* group = nullptr;
  ASSERT_TRUE(received >>= group);
  ASSERT_EQ(group->length(), 3u);
  EXPECT_EQ(std::string((*group)[1]), longSymbol);
  EXPECT_STREQ((*group)[2], "");
}

TEST(ReplyData, EverythingButANonEmptyZmDataIsAnEmptyReply) {
  CORBA::Any nothing;
  CORBA::Any text;
  text <<= "not octets";
  CORBA::Any shorts;
  CORBA::Short two[] = {1, 2};
  shorts <<= Orv::ZmFieldList(2, 2, two, false);
  CORBA::Any emptyData;
  emptyData <<= Orv::ZmData();
  CORBA::Any emptyDataFromWire = OverTheWire(emptyData);
  CORBA::Any textFromWire = OverTheWire(text);

  const struct {
    const char* what;
    const CORBA::Any* any;
  } cases[] = {
      {"null any", nullptr},
      {"any with no value", &nothing},
      {"any with a string", &text},
      {"any with another sequence", &shorts},
      {"ZmData of length 0", &emptyData},
      {"ZmData of length 0 off the wire", &emptyDataFromWire},
      {"a string off the wire", &textFromWire},
  };
  for (const auto& c : cases) {
    ReplyOctets r = ReplyData(c.any);
    EXPECT_TRUE(r.empty()) << c.what;
    EXPECT_EQ(r.data, nullptr) << c.what;
    EXPECT_EQ(r.size, 0u) << c.what;
  }
}

TEST(ReplyData, PointsIntoTheAnyItWasReadFrom) {
  auto any = std::make_unique<CORBA::Any>(orvidl::FieldListAny({0x10, 0x00, 0xFF}));
  ReplyOctets r = ReplyData(any.get());
  ASSERT_EQ(r.size, 3u);
  EXPECT_EQ(std::memcmp(r.data, "\x10\x00\xFF", 3), 0);
  const Orv::ZmData* held = nullptr;
  ASSERT_TRUE(*any >>= held);
  EXPECT_EQ(r.data, held->get_buffer());  // no copy: the any owns the octets
}

// The error texts print the type-code name and repository id of the
// exception; they must come from the dynamic type, not the catch clause's.
TEST(DescribeException, GivesTheThrownTypesNameIdAndMinorCode) {
  try {
    throw CORBA::COMM_FAILURE(0x41540002, CORBA::COMPLETED_MAYBE);
  } catch (const CORBA::Exception& ex) {
    orvidl::CorbaExceptionInfo info = orvidl::DescribeException(ex);
    EXPECT_EQ(info.name, "COMM_FAILURE");
    EXPECT_EQ(info.repoId, "IDL:omg.org/CORBA/COMM_FAILURE:1.0");
    EXPECT_TRUE(info.isSystem);
    EXPECT_EQ(info.minor, 0x41540002u);
    EXPECT_EQ(info.completed, CORBA::COMPLETED_MAYBE);
    EXPECT_EQ(info.Text().rfind("COMM_FAILURE IDL:omg.org/CORBA/COMM_FAILURE:1.0 minor 0x41540002", 0),
              0u)
        << info.Text();

    CORBA::Any any;
    any <<= ex;
    CORBA::TypeCode_var tc = any.type();
    EXPECT_EQ(info.name, tc->name());
    EXPECT_EQ(info.repoId, tc->id());
  }

  try {
    throw SE::SEView::SEViewException(7, "no such view");
  } catch (const CORBA::Exception& ex) {
    orvidl::CorbaExceptionInfo info = orvidl::DescribeException(ex);
    EXPECT_EQ(info.name, "SEViewException");
    EXPECT_EQ(info.repoId, "IDL:SE/SEView/SEViewException:1.0");
    EXPECT_FALSE(info.isSystem);
    EXPECT_EQ(info.Text(), "SEViewException IDL:SE/SEView/SEViewException:1.0");

    CORBA::Any any;
    any <<= ex;
    CORBA::TypeCode_var tc = any.type();
    EXPECT_EQ(info.name, tc->name());
    EXPECT_EQ(info.repoId, tc->id());
  }
}

TEST(SafeStr, NullAndEmptyBecomeAnEmptyStringOthersPassThrough) {
  ASSERT_NE(orvidl::SafeStr(nullptr), nullptr);
  EXPECT_STREQ(orvidl::SafeStr(nullptr), "");
  EXPECT_STREQ(orvidl::SafeStr(""), "");
  const char* text = "IBM";
  EXPECT_EQ(orvidl::SafeStr(text), text);
}

}  // namespace
