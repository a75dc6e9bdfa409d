// HlRegistrator loaded by the spreadsheet host: what it registers, what it
// deletes, what it tells the add-in manager, and a registered function
// evaluated end to end.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "analytics/HlUnivOpt.h"
#include "platform/xll/XllHost.h"

namespace {

using xllhost::XllHost;

const std::vector<std::string> kHelp8 = {"Short term interest rate ",
                                         "Price of the underlying instrument ",
                                         "Strike price ",
                                         "Volatility of the underlying ",
                                         "Years to maturity ",
                                         "External force of discount",
                                         "Set to 0 for puts, and 1 for calls ",
                                         "0 European, 1 American (binomial tree), 2 European and 3 American on a futures underlying (no carry), 4 and 5 as 0 and 1; any other model gives 99999999.9"};
const std::string kDivHelp1 = "Array containing the actual value of the discrete dividends";
const std::string kDivHelp2 =
    "Array containing the time (in years) of the discrete dividends ordered with the most recent "
    "dividend first";
const std::string kArgs8 =
    "interest rate,underlying inst price,strike,vol,time,ext_disc_rate,class,model";
const std::string kArgs8Iv =
    "interest rate,underlying inst price,strike,option price,time,ext_disc_rate,class,model";
const std::string kDivArgs = ",dividend (PV),dividend time (years)";
const std::string kBased = " of an option based on the option_class_type and option_model_type";

struct Row {
  std::string procedure, typeText, functionText, argumentText, functionHelp;
  int helps;  // 0, 8 or 10 argument helps
  bool priceArgument;
};

std::vector<Row> ExpectedRows() {
  const std::string d = "Discrete dividend functions for the ";
  return {
      {"HLUOA_PRICE", "BBBBBBBII", "HLUOA_Price", kArgs8,
       "Returns the theoretical price" + kBased, 8, false},
      {"HLUOA_DELTA", "BBBBBBBII", "HLUOA_Delta", kArgs8, "returns the delta" + kBased, 8, false},
      {"HLUOA_GAMMA", "BBBBBBBII", "HLUOA_Gamma", kArgs8, "returns the gamma" + kBased, 8, false},
      {"HLUOA_RHO", "BBBBBBBII", "HLUOA_Rho", kArgs8, "returns the rho" + kBased, 8, false},
      {"HLUOA_KAPPA", "BBBBBBBII", "HLUOA_Kappa", kArgs8, "returns the kappa" + kBased, 8, false},
      {"HLUOA_THETA", "BBBBBBBII", "HLUOA_Theta", kArgs8, "returns the theta" + kBased, 8, false},
      {"HLUOA_THETA2", "BBBBBBBII", "HLUOA_Theta2", kArgs8, "returns the theta2" + kBased, 8,
       false},
      {"HLUOA_FUGIT", "BBBBBBBII", "HLUOA_Fugit", kArgs8, "returns the fugit" + kBased, 8, false},
      {"HLUOA_IMPLIEDVOL", "BBBBBBBII", "HLUOA_ImpliedVol", kArgs8Iv,
       "returns the implied volatility" + kBased, 8, true},
      {"HLUOA_DPRICE", "BBBBBBBIIKK", "HLUOA_DPrice", kArgs8 + kDivArgs,
       d + "HLUOA_Price(...)", 10, false},
      {"HLUOA_DDELTA", "BBBBBBBIIKK", "HLUOA_DDelta", kArgs8 + kDivArgs,
       d + "HLUOA_Delta(...)", 10, false},
      {"HLUOA_DGAMMA", "BBBBBBBIIKK", "HLUOA_DGamma", kArgs8 + kDivArgs,
       d + "HLUOA_Gamma(...)", 10, false},
      {"HLUOA_DRHO", "BBBBBBBIIKK", "HLUOA_DRho", kArgs8 + kDivArgs, d + "HLUOA_Rho(...)", 10,
       false},
      {"HLUOA_DKAPPA", "BBBBBBBIIKK", "HLUOA_DKappa", kArgs8 + kDivArgs,
       d + "HLUOA_Kappa(...)", 10, false},
      {"HLUOA_DTHETA", "BBBBBBBIIKK", "HLUOA_DTheta", kArgs8 + kDivArgs,
       d + "HLUOA_Theta(...)", 10, false},
      {"HLUOA_DTHETA2", "BBBBBBBIIKK", "HLUOA_DTheta2", kArgs8 + kDivArgs,
       d + "HLUOA_Theta2(...)", 10, false},
      {"HLUOA_DFUGIT", "BBBBBBBIIKK", "HLUOA_DFugit", kArgs8 + kDivArgs,
       d + "HLUOA_Fugit(...)", 10, false},
      {"HLUOA_DIMPLIEDVOL", "BBBBBBBIIKK", "HLUOA_DImpliedVol", kArgs8Iv + kDivArgs,
       d + "HLUOA_ImpliedVol(...)", 10, true},
      {"HLUOA_DARRAY", "KBBBBBBIIKK", "HLUOA_DArray", kArgs8 + kDivArgs,
       "Returns an array of analysis, for HLUOA_DPrice(...) function. The elements of the array "
       "are: price, delta, gamma, rho, theta, theta2, kappa, fugit",
       10, false},
      {"HLUOA_NORMAL", "BB", "HLUOA_Normal", "Std Deviation",
       "returns the cumulative normal distribution of a normal distribution", 0, false},
      {"HLUOA_VOL_TOL", "BB", "HLUOA_Vol_Tol", "Tolerance",
       "Sets the tolerance in the implied volatility function", 0, false},
      {"HLUOA_SETOPTSTEP", "II", "HLUOA_SetOptStep", "Number of Steps",
       "Sets the numbers of steps used in the binomial tree for American options", 0, false},
  };
}

std::string Folder(const std::string& path) { return path.substr(0, path.rfind('/')); }

class AddinHost : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(host_.Load(ORV_ADDIN_PATH, &error)) << error;
    ASSERT_EQ(host_.AutoOpen(), 1);
  }
  XllHost host_;
};

TEST_F(AddinHost, RegistersTwentyTwoRowsInOrderWithEveryColumn) {
  const std::vector<Row> rows = ExpectedRows();
  const auto& regs = host_.Registrations();
  ASSERT_EQ(regs.size(), 22u);
  const std::string module =
      XllHost::WindowsName(Folder(host_.AddInPath())) + "\\HlUnivOpt.dll";
  for (size_t i = 0; i < rows.size(); ++i) {
    const Row& row = rows[i];
    const auto& texts = regs[i].texts;
    ASSERT_EQ(texts.size(), 20u) << "row " << i;
    std::vector<std::string> expected = {module,    row.procedure, row.typeText,
                                         row.functionText, row.argumentText, "1",
                                         "Halvern Add-In Functions", "", "", row.functionHelp};
    for (int h = 0; h < 10; ++h) {
      std::string help;
      if (h < 8 && row.helps >= 8) help = kHelp8[h];
      if (h == 3 && row.priceArgument) help = "Option price ";
      if (h == 8 && row.helps == 10) help = kDivHelp1;
      if (h == 9 && row.helps == 10) help = kDivHelp2;
      expected.push_back(help);
    }
    for (size_t c = 0; c < expected.size(); ++c) {
      EXPECT_EQ(texts[c], expected[c]) << "row " << i << " column " << c;
    }
    // The host found every export in the library beside the add-in.
    EXPECT_NE(regs[i].procedure, nullptr) << row.procedure << ": " << regs[i].error;
    EXPECT_EQ(Folder(regs[i].library), Folder(ORV_ANALYTICS_PATH));
    EXPECT_TRUE(host_.IsNameDefined(row.functionText)) << row.functionText;
  }
}

TEST_F(AddinHost, ReopeningRegistersTheSameTexts) {
  ASSERT_EQ(host_.AutoOpen(), 1);
  const auto& regs = host_.Registrations();
  ASSERT_EQ(regs.size(), 44u);
  for (size_t i = 0; i < 22; ++i) EXPECT_EQ(regs[i].texts, regs[22 + i].texts) << i;
}

TEST_F(AddinHost, CloseDeletesEveryNameInRowOrder) {
  ASSERT_EQ(host_.AutoClose(), 1);
  const auto& dels = host_.Deletions();
  const std::vector<Row> rows = ExpectedRows();
  ASSERT_EQ(dels.size(), 22u);
  for (size_t i = 0; i < rows.size(); ++i) {
    EXPECT_EQ(dels[i].name, rows[i].functionText);
    EXPECT_TRUE(dels[i].wasDefined) << rows[i].functionText;
  }
  EXPECT_EQ(host_.DefinedNameCount(), 0u);
  std::string value, error;
  EXPECT_FALSE(host_.Evaluate("HLUOA_Price(0.1,42,40,0.2,0.5,0,1,0)", &value, &error));
}

TEST_F(AddinHost, ManagerInfoNamesTheCategoryForActionOneOnly) {
  struct Case {
    const char* what;
    XLOPER action;
    bool named;
  };
  static unsigned char one[] = {1, '1'};
  static unsigned char word[] = {3, 'a', 'b', 'c'};
  XLOPER num1{}, num2{}, int1{}, str1{}, strWord{}, err{};
  num1.val.num = 1.0;
  num1.xltype = xltypeNum;
  num2.val.num = 2.0;
  num2.xltype = xltypeNum;
  int1.val.w = 1;
  int1.xltype = xltypeInt;
  str1.val.str = one;
  str1.xltype = xltypeStr;
  strWord.val.str = word;
  strWord.xltype = xltypeStr;
  err.val.err = xlerrValue;
  err.xltype = xltypeErr;
  const Case cases[] = {{"number 1", num1, true},         {"integer 1", int1, true},
                        {"text \"1\"", str1, true},       {"number 2", num2, false},
                        {"non-numeric text", strWord, false}, {"an error", err, false}};
  for (const Case& c : cases) {
    XLOPER result{};
    std::string text;
    ASSERT_TRUE(host_.ManagerInfo(c.action, &result, &text));
    if (c.named) {
      EXPECT_EQ(result.xltype, xltypeStr) << c.what;
      EXPECT_EQ(text, "Halvern Add-In Functions") << c.what;
    } else {
      EXPECT_EQ(result.xltype, xltypeErr) << c.what;
      EXPECT_EQ(result.val.err, xlerrValue) << c.what;
    }
  }
  auto info = reinterpret_cast<XLOPER* (*)(XLOPER*)>(host_.AddInSymbol("xlAddInManagerInfo"));
  ASSERT_NE(info, nullptr);
  EXPECT_EQ(info(nullptr)->xltype, xltypeErr);
}

TEST_F(AddinHost, OtherEntryPoints) {
  auto autoRegister = reinterpret_cast<XLOPER* (*)(XLOPER*)>(host_.AddInSymbol("xlAutoRegister"));
  ASSERT_NE(autoRegister, nullptr);
  XLOPER name{};
  name.xltype = xltypeNum;
  const XLOPER* r = autoRegister(&name);
  EXPECT_EQ(r->xltype, xltypeErr);
  EXPECT_EQ(r->val.err, xlerrValue);
  for (const char* entry : {"xlAutoAdd", "xlAutoRemove"}) {
    auto fn = reinterpret_cast<int (*)()>(host_.AddInSymbol(entry));
    ASSERT_NE(fn, nullptr) << entry;
    EXPECT_EQ(fn(), 1) << entry;
  }
  EXPECT_TRUE(host_.Registrations().size() == 22u);  // they register nothing
}

TEST_F(AddinHost, RegisteredFunctionsEvaluateThroughTheLibrary) {
  struct Case {
    const char* formula;
    std::string expected;
  };
  const Case cases[] = {
      {"HLUOA_Price(0.1,42,40,0.2,0.5,0,1,0)",
       xllhost::FormatNumber(HLUOA_PRICE(0.1, 42, 40, 0.2, 0.5, 0, 1, 0))},
      {"hluoa_price( 0.1 , 42, 40, 0.2, 0.5, 0, 0, 1 )",
       xllhost::FormatNumber(HLUOA_PRICE(0.1, 42, 40, 0.2, 0.5, 0, 0, 1))},
      {"HLUOA_Normal(0)", xllhost::FormatNumber(HLUOA_NORMAL(0))},
      {"HLUOA_Price(0.1,42,0,0.2,0.5,0,1,0)", "99999999.9"},
      {"HLUOA_SetOptStep(41)", "40"},
      {"HLUOA_Vol_Tol(-1)", "0.5"},
  };
  for (const Case& c : cases) {
    std::string value, error;
    ASSERT_TRUE(host_.Evaluate(c.formula, &value, &error)) << c.formula << ": " << error;
    EXPECT_EQ(value, c.expected) << c.formula;
  }
  // Arrays: a dividend due now is taken off the spot; the all-in-one array
  // comes back as 1 x 8.
  std::string value, error;
  ASSERT_TRUE(host_.Evaluate("HLUOA_DPrice(0.1,42,40,0.2,0.5,0,1,0,{1},{0})", &value, &error));
  EXPECT_EQ(value, xllhost::FormatNumber(HLUOA_PRICE(0.1, 41, 40, 0.2, 0.5, 0, 1, 0)));
  ASSERT_TRUE(host_.Evaluate("HLUOA_DArray(0.1,42,40,0.2,0.5,0,1,0,{-1},{-1})", &value, &error));
  EXPECT_EQ(value.front(), '{');
  EXPECT_EQ(std::count(value.begin(), value.end(), ','), 7);
  EXPECT_EQ(value.substr(1, value.find(',') - 1),
            xllhost::FormatNumber(HLUOA_PRICE(0.1, 42, 40, 0.2, 0.5, 0, 1, 0)));
}

TEST_F(AddinHost, BadCallsGetAClearError) {
  const char* const bad[] = {
      "HLUOA_Price(0.1,42,40,0.2,0.5,0,1)",        // too few arguments
      "HLUOA_Price(0.1,42,40,0.2,0.5,0,1,0,1)",    // too many
      "HLUOA_Price(0.1,42,40,0.2,0.5,0,1,70000)",  // not a 16-bit integer
      "HLUOA_Price(0.1,42,40,{0.2},0.5,0,1,0)",    // an array for a number
      "HLUOA_Price(0.1,42,40,0.2,0.5,0,1,0",       // unclosed
      "HLUOA_Price(0.1,x,40,0.2,0.5,0,1,0)",       // not a number
      "HLUOA_DPrice(0.1,42,40,0.2,0.5,0,1,0,{1,2;3},{0})",  // ragged array
      "HLUOA_Price(0.1,1e999,40,0.2,0.5,0,1,0)",   // out of range
      "NoSuchFunction(1)",
      "",
      "(1)",
  };
  for (const char* formula : bad) {
    std::string value, error;
    EXPECT_FALSE(host_.Evaluate(formula, &value, &error)) << formula;
    EXPECT_FALSE(error.empty()) << formula;
  }
}

TEST(XllHostNames, WindowsNamesAndLibraryResolution) {
  EXPECT_EQ(XllHost::WindowsName("/a/b/c.so"), "\\a\\b\\c.so");
  std::string tried;
  const std::string folder = XllHost::WindowsName(Folder(ORV_ANALYTICS_PATH));
  EXPECT_EQ(XllHost::ResolveLibrary(folder + "\\HlUnivOpt.dll", &tried), ORV_ANALYTICS_PATH);
  EXPECT_EQ(XllHost::ResolveLibrary(folder + "\\HlUnivOpt.DLL", &tried), ORV_ANALYTICS_PATH);
  EXPECT_EQ(XllHost::ResolveLibrary(folder + "\\Missing.dll", &tried), "");
  EXPECT_NE(tried.find("libMissing.so"), std::string::npos);
}

TEST(XllHostLoad, RefusesWhatIsNotALoadableAddIn) {
  XllHost host;
  std::string error;
  EXPECT_FALSE(host.Load("/nonexistent/addin.so", &error));
  EXPECT_NE(error.find("/nonexistent/addin.so"), std::string::npos);
  // A shared library without the entry points loads but is no add-in.
  ASSERT_TRUE(host.Load(ORV_ANALYTICS_PATH, &error)) << error;
  EXPECT_EQ(host.AutoOpen(), -1);
}

}  // namespace
