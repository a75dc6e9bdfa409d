#include "OrvPayload.h"

#include <cstdio>

namespace orvidl {

CORBA::Any FieldListAny(const std::vector<std::uint8_t>& fieldIds) {
  Orv::ZmData data;
  data.length(static_cast<CORBA::ULong>(fieldIds.size()));
  for (CORBA::ULong i = 0; i < data.length(); ++i) data[i] = fieldIds[i];
  CORBA::Any any;
  any <<= data;
  return any;
}

CORBA::Any SymbolGroupAny(const std::vector<std::string>& symbols) {
  // Refused here rather than by the sequence constructor: the pointer array
  // for an oversized list is never built.
  if (symbols.size() > kMaxGroupSymbols) throw CORBA::BAD_PARAM(omni::BAD_PARAM_IndexOutOfRange, CORBA::COMPLETED_NO);

  // The sequence only borrows the characters (release off); the copying
  // insertion below duplicates every string into the any.
  std::vector<char*> buffer;
  buffer.reserve(symbols.size());
  for (const std::string& s : symbols) buffer.push_back(const_cast<char*>(s.c_str()));
  Orv::SymbolsGroup group(static_cast<CORBA::ULong>(buffer.size()),
                          buffer.empty() ? nullptr : buffer.data(), false);
  CORBA::Any any;
  any <<= group;
  return any;
}

ReplyOctets ReplyData(const CORBA::Any* reply) {
  ReplyOctets out;
  if (reply == nullptr) return out;
  const Orv::ZmData* data = nullptr;
  if (!(*reply >>= data) || data == nullptr || data->length() == 0) return out;
  out.data = data->get_buffer();
  out.size = data->length();
  if (out.data == nullptr) out.size = 0;
  return out;
}

std::string CorbaExceptionInfo::Text() const {
  std::string text = name + " " + repoId;
  if (isSystem) {
    char buf[32];
    std::snprintf(buf, sizeof buf, " minor 0x%08lX", static_cast<unsigned long>(minor));
    text += buf;
    if (!minorText.empty()) text += " (" + minorText + ")";
  }
  return text;
}

CorbaExceptionInfo DescribeException(const CORBA::Exception& ex) {
  CorbaExceptionInfo info;
  const char* name = ex._name();
  const char* id = ex._rep_id();
  info.name = name != nullptr ? name : "";
  info.repoId = id != nullptr ? id : "";
  if (const auto* sys = CORBA::SystemException::_downcast(&ex)) {
    info.isSystem = true;
    info.minor = sys->minor();
    info.completed = sys->completed();
    if (const char* m = sys->NP_minorString()) info.minorText = m;
  }
  return info;
}

}  // namespace orvidl
