#include "XllHost.h"

#include <dlfcn.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstring>

namespace xllhost {

namespace {

// The host whose add-in is being served; one at a time, as a spreadsheet
// calls its add-ins from one thread.
XllHost* g_current = nullptr;

constexpr int kMaxRegisterArgs = 30;

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

bool IsString(const XLOPER* x) { return x != nullptr && x->xltype == xltypeStr && x->val.str; }

std::string CountedText(const unsigned char* counted) {
  return std::string(reinterpret_cast<const char*>(counted + 1), counted[0]);
}

void SetError(XLOPER* x) {
  if (x == nullptr) return;
  x->val.err = xlerrValue;
  x->xltype = xltypeErr;
}

bool FileExists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace

XllHost::XllHost() { g_current = this; }

XllHost::~XllHost() {
  for (unsigned char* s : handedOut_) delete[] s;
  for (auto& lib : libraries_) ::dlclose(lib.second);
  if (addIn_ != nullptr) ::dlclose(addIn_);
  if (g_current == this) g_current = nullptr;
}

bool XllHost::Load(const std::string& path, std::string* error) {
  char resolved[PATH_MAX];
  if (::realpath(path.c_str(), resolved) == nullptr) {
    *error = "cannot find add-in '" + path + "': " + std::strerror(errno);
    return false;
  }
  void* handle = ::dlopen(resolved, RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    *error = "cannot load add-in '" + std::string(resolved) + "': " + ::dlerror();
    return false;
  }
  if (addIn_ != nullptr) ::dlclose(addIn_);
  addIn_ = handle;
  addInPath_ = resolved;
  g_current = this;
  return true;
}

void* XllHost::AddInSymbol(const char* name) const {
  return addIn_ == nullptr ? nullptr : ::dlsym(addIn_, name);
}

int XllHost::AutoOpen() {
  auto fn = reinterpret_cast<int (*)()>(AddInSymbol("xlAutoOpen"));
  if (fn == nullptr) return -1;
  g_current = this;
  return fn();
}

int XllHost::AutoClose() {
  auto fn = reinterpret_cast<int (*)()>(AddInSymbol("xlAutoClose"));
  if (fn == nullptr) return -1;
  g_current = this;
  return fn();
}

bool XllHost::ManagerInfo(const XLOPER& action, XLOPER* result, std::string* text) {
  auto fn = reinterpret_cast<XLOPER* (*)(XLOPER*)>(AddInSymbol("xlAddInManagerInfo"));
  if (fn == nullptr) return false;
  g_current = this;
  XLOPER copy = action;
  XLOPER* answer = fn(&copy);
  text->clear();
  if (answer == nullptr) {
    SetError(result);
    return true;
  }
  *result = *answer;
  if (IsString(answer)) *text = CountedText(answer->val.str);
  return true;
}

bool XllHost::IsNameDefined(const std::string& name) const {
  return names_.count(Upper(name)) != 0;
}

std::string XllHost::WindowsName(const std::string& linuxPath) {
  std::string s = linuxPath;
  for (char& c : s)
    if (c == '/') c = '\\';
  return s;
}

std::string XllHost::ResolveLibrary(const std::string& windowsPath, std::string* tried) {
  std::string s = windowsPath;
  for (char& c : s)
    if (c == '\\') c = '/';
  const size_t slash = s.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : s.substr(0, slash);
  std::string base = slash == std::string::npos ? s : s.substr(slash + 1);
  const size_t dot = base.rfind('.');
  if (dot != std::string::npos && Upper(base.substr(dot)) == ".DLL") base.erase(dot);
  const std::string withPrefix = (folder.empty() ? "" : folder) + "/lib" + base + ".so";
  const std::string plain = (folder.empty() ? "" : folder) + "/" + base + ".so";
  if (tried != nullptr) *tried = withPrefix + " or " + plain;
  if (FileExists(withPrefix)) return withPrefix;
  if (FileExists(plain)) return plain;
  return std::string();
}

void* XllHost::OpenLibrary(const std::string& path, std::string* error) {
  auto it = libraries_.find(path);
  if (it != libraries_.end()) return it->second;
  void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    *error = "cannot load " + path + ": " + ::dlerror();
    return nullptr;
  }
  libraries_[path] = handle;
  return handle;
}

bool IsSupportedTypeText(const std::string& typeText);  // XllFormula.cpp

int XllHost::Register(XLOPER* result, int count, XLOPER** args) {
  if (count < 3 || count > kMaxRegisterArgs) return xlretInvCount;
  for (int i = 0; i < count; ++i)
    if (!IsString(args[i])) return xlretInvXloper;
  Registration reg;
  for (int i = 0; i < count; ++i) reg.texts.push_back(CountedText(args[i]->val.str));

  std::string tried;
  reg.library = ResolveLibrary(reg.Text(kModule), &tried);
  if (reg.library.empty()) {
    reg.error = "no library for '" + reg.Text(kModule) + "' (looked for " + tried + ")";
  } else if (!IsSupportedTypeText(reg.Text(kTypeText))) {
    reg.error = "type text '" + reg.Text(kTypeText) + "' is not supported by this host";
  } else if (void* lib = OpenLibrary(reg.library, &reg.error)) {
    reg.procedure = ::dlsym(lib, reg.Text(kProcedure).c_str());
    if (reg.procedure == nullptr) {
      reg.error = "no export '" + reg.Text(kProcedure) + "' in " + reg.library;
    }
  }
  const std::string name = reg.Text(kFunctionText);
  registrations_.push_back(reg);
  if (!name.empty()) names_[Upper(name)] = registrations_.size() - 1;
  if (result != nullptr) {
    if (registrations_.back().procedure != nullptr) {
      result->val.num = static_cast<double>(registrations_.size());
      result->xltype = xltypeNum;
    } else {
      SetError(result);
    }
  }
  return xlretSuccess;
}

int XllHost::SetName(XLOPER* result, int count, XLOPER** args) {
  // Only deletion (the one-argument form) is served.
  if (count == 2) return xlretFailed;
  if (count != 1) return xlretInvCount;
  if (!IsString(args[0])) return xlretInvXloper;
  const std::string name = CountedText(args[0]->val.str);
  const bool defined = names_.erase(Upper(name)) != 0;
  deletions_.push_back({name, defined});
  if (result != nullptr) {
    result->val.w = defined ? 1 : 0;
    result->xltype = xltypeInt;
  }
  return xlretSuccess;
}

int XllHost::GetName(XLOPER* result, int count) {
  if (count != 0) return xlretInvCount;
  if (result == nullptr) return xlretInvXloper;
  const std::string name = WindowsName(addInPath_);
  // A counted string holds at most 255 characters.
  if (addIn_ == nullptr || name.size() > 255) return xlretFailed;
  unsigned char* counted = new unsigned char[1 + name.size()];
  counted[0] = static_cast<unsigned char>(name.size());
  std::memcpy(counted + 1, name.data(), name.size());
  handedOut_.insert(counted);
  result->val.str = counted;
  result->xltype = xltypeStr;
  return xlretSuccess;
}

int XllHost::Free(int count, XLOPER** args) {
  for (int i = 0; i < count; ++i) {
    XLOPER* x = args[i];
    if (x == nullptr) return xlretInvXloper;
    if (x->xltype == xltypeStr) {
      auto it = handedOut_.find(x->val.str);
      if (it == handedOut_.end()) return xlretInvXloper;  // not ours to free
      delete[] *it;
      handedOut_.erase(it);
      x->val.str = nullptr;
    }
  }
  return xlretSuccess;
}

int XllHost::Coerce(XLOPER* result, int count, XLOPER** args) {
  if (count != 2) return xlretInvCount;
  if (result == nullptr || args[0] == nullptr || args[1] == nullptr) return xlretInvXloper;
  int target;
  if (args[1]->xltype == xltypeInt) {
    target = args[1]->val.w;
  } else if (args[1]->xltype == xltypeNum) {
    const double t = args[1]->val.num;
    if (!(t >= 0.0 && t <= 65535.0)) return xlretInvXloper;
    target = static_cast<int>(t);
  } else {
    return xlretInvXloper;
  }
  double value;
  const XLOPER* x = args[0];
  if (x->xltype == xltypeNum) {
    value = x->val.num;
  } else if (x->xltype == xltypeInt) {
    value = x->val.w;
  } else if (IsString(x)) {
    const std::string text = CountedText(x->val.str);
    char* end = nullptr;
    value = std::strtod(text.c_str(), &end);
    if (text.empty() || end == nullptr || *end != '\0') return xlretFailed;
  } else {
    return xlretFailed;
  }
  if (!std::isfinite(value)) return xlretFailed;
  if (target == xltypeNum) {
    result->val.num = value;
    result->xltype = xltypeNum;
    return xlretSuccess;
  }
  if (target == xltypeInt) {
    const double t = std::trunc(value);
    if (t < -32768.0 || t > 32767.0) return xlretFailed;
    result->val.w = static_cast<int16_t>(t);
    result->xltype = xltypeInt;
    return xlretSuccess;
  }
  return xlretFailed;
}

int XllHost::Callback(int xlfn, XLOPER* result, int count, XLOPER** args) {
  if (count < 0 || (count > 0 && args == nullptr)) return xlretInvCount;
  switch (xlfn) {
    case xlfRegister:
      return Register(result, count, args);
    case xlfSetName:
      return SetName(result, count, args);
    case xlGetName:
      return GetName(result, count);
    case xlFree:
      return Free(count, args);
    case xlCoerce:
      return Coerce(result, count, args);
    default:
      return xlretInvXlfn;
  }
}

}  // namespace xllhost

extern "C" int Excel4v(int xlfn, LPXLOPER operRes, int count, LPXLOPER opers[]) {
  if (xllhost::g_current == nullptr) return xlretFailed;
  return xllhost::g_current->Callback(xlfn, operRes, count, opers);
}
