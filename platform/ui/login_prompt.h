// A sign-in dialog without a desktop: the dialog's caption and labels are
// asked on the user's terminal, the password with echo off. Each answer
// may be left empty to keep the value shown in brackets. With no terminal
// there is nobody to ask, which counts as Cancel, as does end of input.
#pragma once

#include <string>

#include "platform/ui/dialogs.h"

namespace orvui {

struct LoginPrompt {
  std::string caption;
  std::string userLabel;
  std::string passwordLabel;
  size_t maxChars;  // longer answers are cut, as an edit field's limit does
};

// IDOK with *user and *password set to the answers, or IDCANCEL with both
// unchanged. `terminal` null means the controlling terminal ("/dev/tty").
int PromptLogin(const LoginPrompt& prompt, std::string* user, std::string* password,
                const char* terminal = nullptr);

}  // namespace orvui
