// Payload helpers around the generated stubs of zmdataservice410.idl.
//
// Everything the program exchanges with a market-data service travels as an
// Orv::ZmData (octets) or an Orv::SymbolsGroup inside a CORBA::Any; these
// helpers build those anys, read replies back and describe CORBA exceptions
// for log lines and error texts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "zmdataservice410.hh"

namespace orvidl {

// The bound of Orv::SymbolsGroup.
constexpr std::size_t kMaxGroupSymbols = 1000;

// A field-identifier list (one octet per id, in order) as an Orv::ZmData in
// an any. An empty list is a valid ZmData of length 0.
CORBA::Any FieldListAny(const std::vector<std::uint8_t>& fieldIds);

// A symbol list as an Orv::SymbolsGroup in an any; the any holds its own
// copy of every symbol. Symbols are sent as they stand: the element bound
// lives only in the typecode and is not enforced on the client side.
// More than kMaxGroupSymbols symbols raise CORBA::BAD_PARAM, as the bounded
// sequence itself does, before anything can be sent: callers catch it with
// every other CORBA system exception.
CORBA::Any SymbolGroupAny(const std::vector<std::string>& symbols);

// The octets of a reply. data points into the any the reply was read from
// and is valid only while that any lives; an empty reply has data == nullptr
// and size == 0.
struct ReplyOctets {
  const std::uint8_t* data = nullptr;
  std::size_t size = 0;
  bool empty() const { return size == 0; }
};

// Reads the ZmData of a reply any. A null any, an any with no value or with
// any other type, and a ZmData of length 0 all give an empty reply.
ReplyOctets ReplyData(const CORBA::Any* reply);

// Type name and repository id of a CORBA exception, as the error texts and
// log lines print them; system exceptions also carry their minor code.
struct CorbaExceptionInfo {
  std::string name;    // e.g. "COMM_FAILURE"
  std::string repoId;  // e.g. "IDL:omg.org/CORBA/COMM_FAILURE:1.0"
  bool isSystem = false;
  CORBA::ULong minor = 0;  // meaningful only when isSystem
  CORBA::CompletionStatus completed = CORBA::COMPLETED_NO;  // likewise
  std::string minorText;  // the ORB's name of the minor code, when it has one

  // "<name> <repoId>"; a system exception adds " minor 0x<hex>" and the
  // minor code's name in parentheses when the ORB knows it.
  std::string Text() const;
};

CorbaExceptionInfo DescribeException(const CORBA::Exception& ex);

// What every call site hands a stub for a text argument: the ORB crashes on
// a null string instead of raising, so null (and empty) become "".
inline const char* SafeStr(const char* s) { return (s != nullptr && *s != '\0') ? s : ""; }

}  // namespace orvidl
