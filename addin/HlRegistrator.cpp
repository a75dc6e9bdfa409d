// The spreadsheet add-in that registers the worksheet functions of HlUnivOpt,
// found in the add-in's own folder, and deletes their names on close. It
// never calls HlUnivOpt itself; everything goes through Excel4v.
#include <cstddef>
#include <cstring>

#include "platform/xll/xll.h"

#define HLREG_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

constexpr int kRows = 22;
constexpr int kColumns = 19;
constexpr size_t kMaxCounted = 255;
constexpr const char* kCategory = "Halvern Add-In Functions";
constexpr const char* kModuleName = "HlUnivOpt.dll";

#define ARGS8 "interest rate,underlying inst price,strike,vol,time,ext_disc_rate,class,model"
#define ARGS8_IV "interest rate,underlying inst price,strike,option price,time,ext_disc_rate,class,model"
#define ARGS10 ARGS8 ",dividend (PV),dividend time (years)"
#define ARGS10_IV ARGS8_IV ",dividend (PV),dividend time (years)"
#define CAT "Halvern Add-In Functions"
#define H1 "Short term interest rate "
#define H2 "Price of the underlying instrument "
#define H3 "Strike price "
#define H4 "Volatility of the underlying "
#define H4_IV "Option price "
#define H5 "Years to maturity "
#define H6 "External force of discount"
#define H7 "Set to 0 for puts, and 1 for calls "
#define H8 \
  "0 European, 1 American (binomial tree), 2 European and 3 American on a futures underlying (no carry), 4 and 5 as 0 and 1; any other model gives 99999999.9"
#define H9 "Array containing the actual value of the discrete dividends"
#define H10 "Array containing the time (in years) of the discrete dividends ordered with the most recent dividend first"
#define HELP8 H1, H2, H3, H4, H5, H6, H7, H8, "", ""
#define HELP8_IV H1, H2, H3, H4_IV, H5, H6, H7, H8, "", ""
#define HELP10 H1, H2, H3, H4, H5, H6, H7, H8, H9, H10
#define HELP10_IV H1, H2, H3, H4_IV, H5, H6, H7, H8, H9, H10
#define NOHELP "", "", "", "", "", "", "", "", "", ""
#define BASED " of an option based on the option_class_type and option_model_type"
#define DIVHELP(fn) "Discrete dividend functions for the " fn "(...)"

// Columns: procedure, type text, function text, argument text, macro type,
// category, shortcut, help topic, function help, argument help 1 to 10.
// Plain texts; the counted strings are built from them in writable buffers.
constexpr const char* kTable[kRows][kColumns] = {
    {"HLUOA_PRICE", "BBBBBBBII", "HLUOA_Price", ARGS8, "1", CAT, "", "",
     "Returns the theoretical price" BASED, HELP8},
    {"HLUOA_DELTA", "BBBBBBBII", "HLUOA_Delta", ARGS8, "1", CAT, "", "", "returns the delta" BASED,
     HELP8},
    {"HLUOA_GAMMA", "BBBBBBBII", "HLUOA_Gamma", ARGS8, "1", CAT, "", "", "returns the gamma" BASED,
     HELP8},
    {"HLUOA_RHO", "BBBBBBBII", "HLUOA_Rho", ARGS8, "1", CAT, "", "", "returns the rho" BASED,
     HELP8},
    {"HLUOA_KAPPA", "BBBBBBBII", "HLUOA_Kappa", ARGS8, "1", CAT, "", "", "returns the kappa" BASED,
     HELP8},
    {"HLUOA_THETA", "BBBBBBBII", "HLUOA_Theta", ARGS8, "1", CAT, "", "", "returns the theta" BASED,
     HELP8},
    {"HLUOA_THETA2", "BBBBBBBII", "HLUOA_Theta2", ARGS8, "1", CAT, "", "",
     "returns the theta2" BASED, HELP8},
    {"HLUOA_FUGIT", "BBBBBBBII", "HLUOA_Fugit", ARGS8, "1", CAT, "", "", "returns the fugit" BASED,
     HELP8},
    {"HLUOA_IMPLIEDVOL", "BBBBBBBII", "HLUOA_ImpliedVol", ARGS8_IV, "1", CAT, "", "",
     "returns the implied volatility" BASED, HELP8_IV},
    {"HLUOA_DPRICE", "BBBBBBBIIKK", "HLUOA_DPrice", ARGS10, "1", CAT, "", "",
     DIVHELP("HLUOA_Price"), HELP10},
    {"HLUOA_DDELTA", "BBBBBBBIIKK", "HLUOA_DDelta", ARGS10, "1", CAT, "", "",
     DIVHELP("HLUOA_Delta"), HELP10},
    {"HLUOA_DGAMMA", "BBBBBBBIIKK", "HLUOA_DGamma", ARGS10, "1", CAT, "", "",
     DIVHELP("HLUOA_Gamma"), HELP10},
    {"HLUOA_DRHO", "BBBBBBBIIKK", "HLUOA_DRho", ARGS10, "1", CAT, "", "", DIVHELP("HLUOA_Rho"),
     HELP10},
    {"HLUOA_DKAPPA", "BBBBBBBIIKK", "HLUOA_DKappa", ARGS10, "1", CAT, "", "",
     DIVHELP("HLUOA_Kappa"), HELP10},
    {"HLUOA_DTHETA", "BBBBBBBIIKK", "HLUOA_DTheta", ARGS10, "1", CAT, "", "",
     DIVHELP("HLUOA_Theta"), HELP10},
    {"HLUOA_DTHETA2", "BBBBBBBIIKK", "HLUOA_DTheta2", ARGS10, "1", CAT, "", "",
     DIVHELP("HLUOA_Theta2"), HELP10},
    {"HLUOA_DFUGIT", "BBBBBBBIIKK", "HLUOA_DFugit", ARGS10, "1", CAT, "", "",
     DIVHELP("HLUOA_Fugit"), HELP10},
    {"HLUOA_DIMPLIEDVOL", "BBBBBBBIIKK", "HLUOA_DImpliedVol", ARGS10_IV, "1", CAT, "", "",
     DIVHELP("HLUOA_ImpliedVol"), HELP10_IV},
    {"HLUOA_DARRAY", "KBBBBBBIIKK", "HLUOA_DArray", ARGS10, "1", CAT, "", "",
     "Returns an array of analysis, for HLUOA_DPrice(...) function. The elements of the array "
     "are: price, delta, gamma, rho, theta, theta2, kappa, fugit",
     HELP10},
    {"HLUOA_NORMAL", "BB", "HLUOA_Normal", "Std Deviation", "1", CAT, "", "",
     "returns the cumulative normal distribution of a normal distribution", NOHELP},
    {"HLUOA_VOL_TOL", "BB", "HLUOA_Vol_Tol", "Tolerance", "1", CAT, "", "",
     "Sets the tolerance in the implied volatility function", NOHELP},
    {"HLUOA_SETOPTSTEP", "II", "HLUOA_SetOptStep", "Number of Steps", "1", CAT, "", "",
     "Sets the numbers of steps used in the binomial tree for American options", NOHELP},
};

constexpr size_t Length(const char* s) {
  size_t n = 0;
  while (s[n] != '\0') ++n;
  return n;
}
constexpr bool EveryTextFits() {
  for (const auto& row : kTable)
    for (const char* text : row)
      if (Length(text) > kMaxCounted) return false;
  return true;
}
static_assert(EveryTextFits(), "every registration text fits a counted string");

constexpr int kFunctionTextColumn = 2;
constexpr size_t kPoolSize = 1024;

// Temporary records for one callback call.
alignas(XLOPER) unsigned char g_pool[kPoolSize];
size_t g_poolOffset = 0;

// The counted strings of one callback call, in writable storage: one per
// argument the largest call passes (the module path and 19 columns).
constexpr int kMaxStrings = 1 + kColumns;
unsigned char g_strings[kMaxStrings][1 + kMaxCounted];
int g_stringsUsed = 0;

void* AllocTempBlock(size_t n) {
  const size_t next = g_poolOffset + ((n + 1) & ~static_cast<size_t>(1));
  if (next > kPoolSize) return nullptr;
  void* block = g_pool + g_poolOffset;
  g_poolOffset = next;
  return block;
}

void ResetTempPool() {
  g_poolOffset = 0;
  g_stringsUsed = 0;
}

XLOPER* AllocTempOper() { return static_cast<XLOPER*>(AllocTempBlock(sizeof(XLOPER))); }

XLOPER* MakeTempIntOper(int16_t w) {
  XLOPER* x = AllocTempOper();
  if (x == nullptr) return nullptr;
  x->val.w = w;
  x->xltype = xltypeInt;
  return x;
}

// Copies the text into a writable counted string and wraps it in a
// temporary record; null when the text is too long or storage is used up.
XLOPER* MakeTempStringOper(const char* text, size_t length) {
  if (length > kMaxCounted || g_stringsUsed >= kMaxStrings) return nullptr;
  XLOPER* x = AllocTempOper();
  if (x == nullptr) return nullptr;
  unsigned char* counted = g_strings[g_stringsUsed++];
  counted[0] = static_cast<unsigned char>(length);
  std::memcpy(counted + 1, text, length);
  x->val.str = counted;
  x->xltype = xltypeStr;
  return x;
}
XLOPER* MakeTempStringOper(const char* text) { return MakeTempStringOper(text, std::strlen(text)); }

int CallSpreadsheet(int xlfn, XLOPER* result, int count, XLOPER** args) {
  const int rc = Excel4v(xlfn, result, count, args);
  ResetTempPool();
  return rc;
}

// The module path: the add-in's folder as the spreadsheet names it, a
// backslash and the library's file name. Plain text, at most 255 characters
// once complete, else empty (nothing can be registered by it).
struct ModulePath {
  char text[2 * (kMaxCounted + 1)];
  size_t length;
};

// The add-in's folder with a trailing backslash. A failing request counts
// as an empty name.
void GetAddInDirectory(ModulePath* path) {
  path->length = 0;
  XLOPER name;
  name.xltype = xltypeErr;
  name.val.err = xlerrValue;
  const int rc = Excel4v(xlGetName, &name, 0, nullptr);
  if (rc == xlretSuccess && name.xltype == xltypeStr) {
    if (name.val.str != nullptr) {
      const size_t n = name.val.str[0];
      std::memcpy(path->text, name.val.str + 1, n);
      path->length = n;
    }
    XLOPER* freeArgs[1] = {&name};
    Excel4v(xlFree, nullptr, 1, freeArgs);
  }
  for (size_t i = path->length; i-- > 0;) {
    if (path->text[i] == '\\') {
      path->length = i;
      break;
    }
  }
  path->text[path->length++] = '\\';
}

void RegisterFunctionRow(int row, const ModulePath& module) {
  XLOPER* args[1 + kColumns];
  args[0] = MakeTempStringOper(module.text, module.length);
  for (int c = 0; c < kColumns; ++c) args[1 + c] = MakeTempStringOper(kTable[row][c]);
  // A failed registration is not reported; the next row goes on regardless.
  CallSpreadsheet(xlfRegister, nullptr, 1 + kColumns, args);
}

void RegisterAllFunctions(const ModulePath& module) {
  for (int row = 0; row < kRows; ++row) RegisterFunctionRow(row, module);
}

void UnregisterAllFunctions() {
  for (int row = 0; row < kRows; ++row) {
    XLOPER* args[1] = {MakeTempStringOper(kTable[row][kFunctionTextColumn])};
    CallSpreadsheet(xlfSetName, nullptr, 1, args);
  }
}

XLOPER g_registerResult;
XLOPER g_managerInfoResult;
unsigned char g_addInName[1 + kMaxCounted];

XLOPER* ValueError(XLOPER* x) {
  x->val.err = xlerrValue;
  x->xltype = xltypeErr;
  return x;
}

}  // namespace

HLREG_EXPORT int xlAutoOpen() {
  ModulePath module;
  GetAddInDirectory(&module);
  const size_t nameLength = std::strlen(kModuleName);
  // A path that no counted string can hold would register a wrong library.
  if (module.length + nameLength > kMaxCounted) return 1;
  std::memcpy(module.text + module.length, kModuleName, nameLength);
  module.length += nameLength;
  RegisterAllFunctions(module);
  return 1;
}

HLREG_EXPORT int xlAutoClose() {
  UnregisterAllFunctions();
  return 1;
}

HLREG_EXPORT int xlAutoAdd() { return 1; }

HLREG_EXPORT int xlAutoRemove() { return 1; }

HLREG_EXPORT XLOPER* xlAutoRegister(XLOPER* /*functionName*/) {
  return ValueError(&g_registerResult);
}

HLREG_EXPORT XLOPER* xlAddInManagerInfo(XLOPER* action) {
  if (action == nullptr) return ValueError(&g_managerInfoResult);
  XLOPER asInt;
  ValueError(&asInt);
  XLOPER* args[2] = {action, MakeTempIntOper(xltypeInt)};
  if (args[1] == nullptr) {
    ResetTempPool();
    return ValueError(&g_managerInfoResult);
  }
  const int rc = CallSpreadsheet(xlCoerce, &asInt, 2, args);
  if (rc == xlretSuccess && asInt.xltype == xltypeInt && asInt.val.w == 1) {
    const size_t n = std::strlen(kCategory);
    g_addInName[0] = static_cast<unsigned char>(n);
    std::memcpy(g_addInName + 1, kCategory, n);
    g_managerInfoResult.val.str = g_addInName;
    g_managerInfoResult.xltype = xltypeStr;
    return &g_managerInfoResult;
  }
  return ValueError(&g_managerInfoResult);
}
