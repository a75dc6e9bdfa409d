// The names and texts the session logs for the services' message types and
// status codes, and the automation error that carries a failure to the
// automation server.
#pragma once

#include <cstdint>
#include <string>

// The 16-bit result of the services' subscription and registration calls.
enum ServerStatus : int16_t {
  S_OK_STATUS = 0,
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

// "Subscription limit exceeded (S_ERR_SUBSCRIPTION_LIMIT)" and the others;
// null for a value outside 0..13.
const char* ServerStatusText(int status);

// "T_EQUITY_BASE" and the others; "type <n>" for a type without a name.
std::string MessageTypeName(int type);

// The message of a status that differs from the expected one:
// "Error: <text> code <n>. <context>" (and the variants for 0 and for an
// unknown code).
std::string ServerStatusMessage(int status, const std::string& context);

// Sets the text as the calling thread's error description and throws the
// COM error E_FAIL carrying it.
[[noreturn]] void RaiseAutomationError(const std::string& text);
