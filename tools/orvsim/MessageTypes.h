// The message types and field identifiers as the simulated services write
// them. This table is kept apart from the client's decoder on purpose: the
// two sides are written independently so that a mistake in one shows up as a
// mismatch against the other instead of hiding in a shared table.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace orvsim {

enum MsgType : int {
  T_EQUITY_BASE = 1,
  T_OPTION_BASE = 2,
  T_EQUITY_QUOTE = 3,
  T_OPTION_QUOTE = 4,
  T_OPTION_AD = 5,
  T_IVINDEX = 6,
  T_IVSURFACE = 7,
  T_INTEREST_RATE = 8,
  T_HV = 9,
  T_DIRECT_EQUITY_QUOTE = 10,
  T_DIRECT_OPTION_QUOTE = 11,
  T_FUTURE_BASE = 13,
  T_FUTURE_QUOTE = 14,
  T_FUTURE_OPTION_BASE = 15,
  T_FUTURE_OPTION = 16,
  T_FUTURE_IVINDEX = 20,
  T_FUTURE_IVSURFACE = 21,
  T_NSTDOPTION_BASE = 23,
  T_NSTDOPTION_QUOTE = 24,
  T_NSTDOPTION_AD = 25,
};

// Status codes of the service operations.
enum Status : int16_t {
  S_OK = 0,
  S_ERR_FAILED = 1,
  S_ERR_ALREADY_CONNECTED = 2,
  S_ERR_NOT_AUTHORIZED = 3,
  S_ERR_NOT_CONNECTED = 4,
  S_ERR_NOT_FOUND = 5,
  S_ERR_NOT_SUBSCRIBED = 6,
  S_ERR_INVALID_FIELD = 7,
  S_ERR_FIELD_ALREADY_REGISTERED = 8,
  S_ERR_REGISTER_CALLBACK = 9,
  S_ERR_CALLBACK_ALREADY_REGISTERED = 10,
  S_ERR_CALLBACK_NOT_REGISTERED = 11,
  S_ERR_INVALID_TYPE = 12,
  S_ERR_SUBSCRIPTION_LIMIT = 13,
};
const char* StatusName(int status);

// Which root object serves a type.
enum class Side { kEquities, kFutures };

// How a value is laid out on the wire.
enum class Enc : uint8_t { kText, kFloat, kDouble, kInt16, kInt32, kChar };

struct FieldSpec {
  uint8_t id;
  Enc enc;
  uint8_t width;  // for kText; the others have their natural width
};

// What kind of instrument the records of a type describe.
enum class RowClass {
  kStock, kOption, kNstdOption, kFuture, kFutureOption,
  kIvIndex, kIvSurface, kFutIvIndex, kFutIvSurface, kRate, kHv,
};

struct TypeInfo {
  int code;
  const char* name;
  Side side;
  RowClass rows;
  bool subscribable;  // rates and HV are snapshot-only
  bool updates;       // quotes and analytics move with the market; base data does not
  std::vector<uint8_t> defaultFields;  // what a manager gets before it registers any
};

// nullptr for a code that names no type.
const TypeInfo* FindType(int code);
const std::vector<TypeInfo>& AllTypes();

// Layout of one field in one type; false when the type does not carry it.
// The option symbol (id 1) is 64 bytes wide under protocol version 2.
bool FindField(int type, int id, int protocolVersion, FieldSpec* out);
int FieldWidth(const FieldSpec& f);

}  // namespace orvsim
