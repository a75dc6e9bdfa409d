// A block sink that keeps every record as text, for comparing with what a
// block should decode to.
#pragma once

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "feed/MessageFormat.h"

inline std::string Render(const FieldValue& v) {
  char buf[64];
  switch (v.format.encoding) {
    case FieldEncoding::kFloat: std::snprintf(buf, sizeof buf, "%g", v.AsFloat()); return buf;
    case FieldEncoding::kDouble: std::snprintf(buf, sizeof buf, "%.6f", v.AsDouble()); return buf;
    case FieldEncoding::kInt16:
    case FieldEncoding::kInt32: return std::to_string(v.AsInt());
    case FieldEncoding::kChar: return std::string(1, v.AsChar());
    case FieldEncoding::kText: return std::string(v.AsText());
    default: return "?";
  }
}

class RecordingSink : public IBlockSink {
 public:
  struct Record {
    bool keyed = false;
    std::string key;
    std::vector<std::pair<int, std::string>> fields;
    std::string Get(int id) const {
      std::string value;
      for (const auto& f : fields)
        if (f.first == id) value = f.second;
      return value;
    }
  };

  void Reserve(size_t n) override { reserved = n; }
  void BeginRecord(const FieldValue* key) override {
    records.emplace_back();
    if (key != nullptr) {
      records.back().keyed = true;
      records.back().key = std::string(key->AsText());
    }
  }
  void Field(const FieldValue& v) override { records.back().fields.emplace_back(v.id, Render(v)); }
  void EndRecord() override { ++ended; }

  // The block map of a keyed reader: the records of one key merged in key
  // order, later values over earlier ones.
  std::map<std::string, std::map<int, std::string>> Merged() const {
    std::map<std::string, std::map<int, std::string>> m;
    for (const Record& r : records) {
      auto& fields = m[r.key];
      for (const auto& f : r.fields) fields[f.first] = f.second;
    }
    return m;
  }

  std::vector<Record> records;
  size_t reserved = 0;
  size_t ended = 0;
};
