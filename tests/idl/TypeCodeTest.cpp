// The typecodes and repository ids the services see. ZmData and SymbolsGroup
// travel inside anys, so their typecodes go on the wire and must match the
// services' exactly; the rest guards the declarations against drift.
#include <gtest/gtest.h>

#include <string>

#include "se410.hh"
#include "zmdataservice410.hh"

namespace {

// A compact rendering of a typecode: kind, ids, names and every bound.
std::string Sig(CORBA::TypeCode_ptr tc) {
  switch (tc->kind()) {
    case CORBA::tk_octet: return "octet";
    case CORBA::tk_short: return "short";
    case CORBA::tk_any: return "any";
    case CORBA::tk_string:
      return tc->length() == 0 ? "string" : "string<" + std::to_string(tc->length()) + ">";
    case CORBA::tk_sequence: {
      CORBA::TypeCode_var content = tc->content_type();
      std::string s = "sequence<" + Sig(content);
      if (tc->length() != 0) s += "," + std::to_string(tc->length());
      return s + ">";
    }
    case CORBA::tk_alias: {
      CORBA::TypeCode_var content = tc->content_type();
      return std::string("alias ") + tc->id() + " " + tc->name() + " = " + Sig(content);
    }
    case CORBA::tk_enum: {
      std::string s = std::string("enum ") + tc->id() + " " + tc->name() + " {";
      for (CORBA::ULong i = 0; i < tc->member_count(); ++i) s += std::string(" ") + tc->member_name(i);
      return s + " }";
    }
    case CORBA::tk_struct:
    case CORBA::tk_except: {
      std::string s = std::string(tc->kind() == CORBA::tk_struct ? "struct " : "exception ") +
                      tc->id() + " " + tc->name() + " {";
      for (CORBA::ULong i = 0; i < tc->member_count(); ++i) {
        CORBA::TypeCode_var m = tc->member_type(i);
        s += " " + Sig(m) + " " + tc->member_name(i) + ";";
      }
      return s + " }";
    }
    case CORBA::tk_objref: return std::string("objref ") + tc->id() + " " + tc->name();
    default: return "kind " + std::to_string(static_cast<int>(tc->kind()));
  }
}

struct TcCase {
  CORBA::TypeCode_ptr tc;
  const char* expected;
};

TEST(TypeCodes, OrvTypedefsCarryTheirIdsAndEveryBound) {
  const TcCase cases[] = {
      {Orv::_tc_ZmData, "alias IDL:Orv/ZmData:1.0 ZmData = sequence<octet>"},
      {Orv::_tc_ZmFieldList, "alias IDL:Orv/ZmFieldList:1.0 ZmFieldList = sequence<short>"},
      {Orv::_tc_SymbolsGroup,
       "alias IDL:Orv/SymbolsGroup:1.0 SymbolsGroup = sequence<string<32>,1000>"},
      {Orv::_tc_SymbolsGroup12,
       "alias IDL:Orv/SymbolsGroup12:1.0 SymbolsGroup12 = sequence<string<12>,1000>"},
      {Orv::_tc_SysSymbolsList,
       "alias IDL:Orv/SysSymbolsList:1.0 SysSymbolsList = sequence<string<64>>"},
      {Orv::_tc_SessionID, "alias IDL:Orv/SessionID:1.0 SessionID = string<128>"},
  };
  for (const TcCase& c : cases) EXPECT_EQ(Sig(c.tc), c.expected);
}

TEST(TypeCodes, SeDeclarationsCarryTheirIdsAndBounds) {
  const TcCase cases[] = {
      {SE::_tc_SortOrder, "enum IDL:SE/SortOrder:1.0 SortOrder { ASCENDING_ORDER DESCENDING_ORDER }"},
      {SE::_tc_FieldName, "alias IDL:SE/FieldName:1.0 FieldName = string<256>"},
      {SE::_tc_FieldList,
       "alias IDL:SE/FieldList:1.0 FieldList = sequence<alias IDL:SE/FieldName:1.0 FieldName = "
       "string<256>>"},
      {SE::_tc_SymbolName, "alias IDL:SE/SymbolName:1.0 SymbolName = string<64>"},
      {SE::_tc_SymbolList,
       "alias IDL:SE/SymbolList:1.0 SymbolList = sequence<alias IDL:SE/SymbolName:1.0 SymbolName "
       "= string<64>>"},
      {SE::_tc_TableName, "alias IDL:SE/TableName:1.0 TableName = string<32>"},
      {SE::_tc_TableList,
       "alias IDL:SE/TableList:1.0 TableList = sequence<alias IDL:SE/TableName:1.0 TableName = "
       "string<32>>"},
      {SE::_tc_ViewName, "alias IDL:SE/ViewName:1.0 ViewName = string<32>"},
      {SE::_tc_ViewList,
       "alias IDL:SE/ViewList:1.0 ViewList = sequence<alias IDL:SE/ViewName:1.0 ViewName = "
       "string<32>>"},
      {SE::_tc_Expression, "alias IDL:SE/Expression:1.0 Expression = string"},
      {SE::SEView::_tc_JoinInfo,
       "struct IDL:SE/SEView/JoinInfo:1.0 JoinInfo {"
       " alias IDL:SE/TableName:1.0 TableName = string<32> table_name;"
       " alias IDL:SE/TableName:1.0 TableName = string<32> table_alias;"
       " alias IDL:SE/Expression:1.0 Expression = string join_expression; }"},
      {SE::SEDBQuery::_tc_SEDBQueryException,
       "exception IDL:SE/SEDBQuery/SEDBQueryException:1.0 SEDBQueryException {"
       " short code; string description; }"},
      {SE::SEDBRecordset::_tc_SEDBRecordsetException,
       "exception IDL:SE/SEDBRecordset/SEDBRecordsetException:1.0 SEDBRecordsetException {"
       " short code; string description; }"},
      {SE::SEViewsManager::_tc_SEViewsManagerException,
       "exception IDL:SE/SEViewsManager/SEViewsManagerException:1.0 SEViewsManagerException {"
       " short code; string description; }"},
      {SE::SEView::_tc_SEViewException,
       "exception IDL:SE/SEView/SEViewException:1.0 SEViewException {"
       " short code; string description; }"},
  };
  for (const TcCase& c : cases) EXPECT_EQ(Sig(c.tc), c.expected);

  // ViewInfo's last member is an anonymous sequence of JoinInfo.
  std::string view = Sig(SE::SEView::_tc_ViewInfo);
  EXPECT_EQ(view.rfind("struct IDL:SE/SEView/ViewInfo:1.0 ViewInfo {"
                       " alias IDL:SE/ViewName:1.0 ViewName = string<32> view_name;"
                       " alias IDL:SE/TableName:1.0 TableName = string<32> base_table_name;"
                       " alias IDL:SE/TableName:1.0 TableName = string<32> base_table_alias;"
                       " sequence<struct IDL:SE/SEView/JoinInfo:1.0 JoinInfo {",
                       0),
            0u)
      << view;
  EXPECT_NE(view.find("}> join_info; }"), std::string::npos) << view;
}

TEST(TypeCodes, InterfacesHaveTheDefaultRepositoryIds) {
  const TcCase cases[] = {
      {Orv::_tc_ZmDataClient, "objref IDL:Orv/ZmDataClient:1.0 ZmDataClient"},
      {Orv::_tc_CustomFilter, "objref IDL:Orv/CustomFilter:1.0 CustomFilter"},
      {Orv::_tc_ZmDataService, "objref IDL:Orv/ZmDataService:1.0 ZmDataService"},
      {Orv::_tc_ZmObserver, "objref IDL:Orv/ZmObserver:1.0 ZmObserver"},
      {Orv::_tc_ZmSessionManager, "objref IDL:Orv/ZmSessionManager:1.0 ZmSessionManager"},
      {Orv::_tc_ZmDataManager, "objref IDL:Orv/ZmDataManager:1.0 ZmDataManager"},
      {SE::_tc_SEDBQueryFactory, "objref IDL:SE/SEDBQueryFactory:1.0 SEDBQueryFactory"},
      {SE::_tc_SEDBQuery, "objref IDL:SE/SEDBQuery:1.0 SEDBQuery"},
      {SE::_tc_SEDBRecordset, "objref IDL:SE/SEDBRecordset:1.0 SEDBRecordset"},
      {SE::_tc_SEViewsManager, "objref IDL:SE/SEViewsManager:1.0 SEViewsManager"},
      {SE::_tc_SEView, "objref IDL:SE/SEView:1.0 SEView"},
  };
  for (const TcCase& c : cases) EXPECT_EQ(Sig(c.tc), c.expected);

  // The proxies answer the type question with the same ids.
  EXPECT_STREQ(Orv::ZmDataService::_PD_repoId, "IDL:Orv/ZmDataService:1.0");
  EXPECT_STREQ(Orv::ZmDataManager::_PD_repoId, "IDL:Orv/ZmDataManager:1.0");
}

}  // namespace
