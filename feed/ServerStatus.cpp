#include "feed/ServerStatus.h"

#include <cstdio>

#include "platform/com/comdef.h"
#include "platform/com/oleauto.h"
#include "feed/MessageFormat.h"

const char* ServerStatusText(int status) {
  static const char* const kTexts[] = {
      "No error",
      "Operation failed (S_ERR_FAILED)",
      "Already connected (S_ERR_ALREADY_CONNECTED)",
      "Not authorised (S_ERR_NOT_AUTHORIZED)",
      "Not connected (S_ERR_NOT_CONNECTED)",
      "Not found (S_ERR_NOT_FOUND)",
      "Subscribe failed (S_ERR_NOT_SUBSCRIBED)",
      "Invalid field (S_ERR_INVALID_FIELD)",
      "Field already registered (S_ERR_FIELD_ALREADY_REGISTERED)",
      "Calback not registered (S_ERR_REGISTER_CALLBACK)",
      "Calback already registered (S_ERR_CALLBACK_ALREADY_REGISTERED)",
      "Calback not registered (S_ERR_CALLBACK_NOT_REGISTERED)",
      "Invalid type (S_ERR_INVALID_TYPE)",
      "Subscription limit exceeded (S_ERR_SUBSCRIPTION_LIMIT)",
  };
  if (status < 0 || status > S_ERR_SUBSCRIPTION_LIMIT) return nullptr;
  return kTexts[status];
}

std::string MessageTypeName(int type) {
  switch (type) {
    case T_EQUITY_BASE: return "T_EQUITY_BASE";
    case T_OPTION_BASE: return "T_OPTION_BASE";
    case T_EQUITY_QUOTE: return "T_EQUITY_QUOTE";
    case T_OPTION_QUOTE: return "T_OPTION_QUOTE";
    case T_OPTION_AD: return "T_OPTION_AD";
    case T_IVINDEX: return "T_IVINDEX";
    case T_IVSURFACE: return "T_IVSURFACE";
    case T_INTEREST_RATE: return "T_INTEREST_RATE";
    case T_HV: return "T_HV";
    case T_DIRECT_EQUITY_QUOTE: return "T_DIRECT_EQUITY_QUOTE";
    case T_DIRECT_OPTION_QUOTE: return "T_DIRECT_OPTION_QUOTE";
    case T_FUTURE_BASE: return "T_FUTURE_BASE";
    case T_FUTURE_QUOTE: return "T_FUTURE_QUOTE";
    case T_FUTURE_OPTION_BASE: return "T_FUTURE_OPTION_BASE";
    case T_FUTURE_OPTION: return "T_FUTURE_OPTION";
    case T_FUTURE_IVINDEX: return "T_FUTURE_IVINDEX";
    case T_FUTURE_IVSURFACE: return "T_FUTURE_IVSURFACE";
    case T_NSTDOPTION_BASE: return "T_NSTDOPTION_BASE";
    case T_NSTDOPTION_QUOTE: return "T_NSTDOPTION_QUOTE";
    case T_NSTDOPTION_AD: return "T_NSTDOPTION_AD";
    default: return "type " + std::to_string(type);
  }
}

std::string ServerStatusMessage(int status, const std::string& context) {
  std::string head;
  if (status == 0) {
    head = "Error No error code 0";
  } else if (const char* text = ServerStatusText(status)) {
    head = std::string("Error: ") + text + " code " + std::to_string(status);
  } else {
    head = "Unknown Error: code " + std::to_string(status);
  }
  // Composed without a fixed buffer: a long symbol in the context must not
  // cut the message or overrun it.
  return head + ". " + context;
}

void RaiseAutomationError(const std::string& text) {
  IErrorInfo* info = nullptr;
  ICreateErrorInfo* create = nullptr;
  if (SUCCEEDED(CreateErrorInfo(&create)) && create != nullptr) {
    std::u16string wide(text.size(), u'\0');
    for (size_t i = 0; i < text.size(); ++i) wide[i] = static_cast<unsigned char>(text[i]);
    create->SetDescription(const_cast<LPOLESTR>(wide.c_str()));
    create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&info));
    create->Release();
  }
  if (info != nullptr) SetErrorInfo(0, info);
  _com_raise_error(E_FAIL, info);
}
