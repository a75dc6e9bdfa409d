#include "platform/ui/login_prompt.h"

#include <gtest/gtest.h>

#include <future>
#include <string>

#include "PtyTerminal.h"

namespace {

const orvui::LoginPrompt kPrompt{"Login", "User name:", "Password:", 29};

struct Answer {
  int result;
  std::string user;
  std::string password;
};

std::future<Answer> Ask(const char* terminal, std::string user, std::string password) {
  return std::async(std::launch::async, [=]() mutable {
    int result = orvui::PromptLogin(kPrompt, &user, &password, terminal);
    return Answer{result, user, password};
  });
}

TEST(LoginPrompt, AsksOnTheTerminalWithThePasswordUnseen) {
  PtyTerminal tty;
  ASSERT_TRUE(tty.ok());
  auto answer = Ask(tty.path(), "", "");
  ASSERT_TRUE(tty.WaitFor("Login"));
  ASSERT_TRUE(tty.WaitFor("User name:"));
  tty.Type("alice\n");
  ASSERT_TRUE(tty.WaitFor("Password:"));
  tty.Type("s3cret\n");
  Answer a = answer.get();
  EXPECT_EQ(a.result, IDOK);
  EXPECT_EQ(a.user, "alice");
  EXPECT_EQ(a.password, "s3cret");
  tty.WaitFor("\n", 200);
  EXPECT_NE(tty.seen().find("alice"), std::string::npos) << "the user name is echoed";
  EXPECT_EQ(tty.seen().find("s3cret"), std::string::npos) << tty.seen();
}

TEST(LoginPrompt, EmptyAnswersKeepTheShownValuesAndLongOnesAreCut) {
  struct Case {
    const char* typedUser;
    const char* typedPassword;
    std::string wantUser;
    std::string wantPassword;
  };
  const std::string longText(40, 'x');
  const Case cases[] = {
      {"", "", "bob", "old"},
      {"carol", "", "carol", "old"},
      {"", "new", "bob", "new"},
      {longText.c_str(), longText.c_str(), std::string(29, 'x'), std::string(29, 'x')},
  };
  for (const Case& c : cases) {
    PtyTerminal tty;
    ASSERT_TRUE(tty.ok());
    auto answer = Ask(tty.path(), "bob", "old");
    ASSERT_TRUE(tty.WaitFor("[bob]"));
    tty.Type(std::string(c.typedUser) + "\n");
    ASSERT_TRUE(tty.WaitFor("Password:"));
    tty.Type(std::string(c.typedPassword) + "\n");
    Answer a = answer.get();
    EXPECT_EQ(a.result, IDOK);
    EXPECT_EQ(a.user, c.wantUser) << c.typedUser;
    EXPECT_EQ(a.password, c.wantPassword) << c.typedPassword;
  }
}

TEST(LoginPrompt, EndOfInputCancelsAndKeepsTheValues) {
  PtyTerminal tty;
  ASSERT_TRUE(tty.ok());
  auto answer = Ask(tty.path(), "bob", "old");
  ASSERT_TRUE(tty.WaitFor("User name:"));
  tty.Type("eve\n");
  ASSERT_TRUE(tty.WaitFor("Password:"));
  tty.Type("\x04");  // end of input on an empty line
  Answer a = answer.get();
  EXPECT_EQ(a.result, IDCANCEL);
  EXPECT_EQ(a.user, "bob");
  EXPECT_EQ(a.password, "old");
}

TEST(LoginPrompt, WithoutATerminalItIsCancelled) {
  for (const char* terminal : {"/nonexistent/tty", "/dev/null"}) {
    std::string user = "bob", password = "old";
    EXPECT_EQ(orvui::PromptLogin(kPrompt, &user, &password, terminal), IDCANCEL) << terminal;
    EXPECT_EQ(user, "bob");
    EXPECT_EQ(password, "old");
  }
}

}  // namespace
