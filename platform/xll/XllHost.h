// A small spreadsheet host: loads an add-in, answers its Excel4v callbacks,
// keeps the functions it registers and the sheet names they define, and
// evaluates worksheet calls through the registered exports.
#pragma once

#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/xll/xll.h"

namespace xllhost {

// Argument positions of a registration, in the order the add-in passes them.
enum RegisterColumn {
  kModule = 0,
  kProcedure,
  kTypeText,
  kFunctionText,
  kArgumentText,
  kMacroType,
  kCategory,
  kShortcut,
  kHelpTopic,
  kFunctionHelp,
  kFirstArgumentHelp,
};

struct Registration {
  std::vector<std::string> texts;  // every argument of the call, in order
  std::string library;             // the Linux library the module names
  void* procedure = nullptr;       // resolved export, null when not callable
  std::string error;               // why it is not callable

  std::string Text(size_t column) const { return column < texts.size() ? texts[column] : ""; }
};

struct NameDeletion {
  std::string name;
  bool wasDefined;
};

class XllHost {
 public:
  XllHost();
  ~XllHost();
  XllHost(const XllHost&) = delete;
  XllHost& operator=(const XllHost&) = delete;

  // Loads the add-in (without opening it). False with a message on failure.
  bool Load(const std::string& path, std::string* error);
  // The add-in's entry points; -1 when the add-in lacks the entry point.
  int AutoOpen();
  int AutoClose();
  // Calls xlAddInManagerInfo with the given value; false when the add-in has
  // no such entry point. `result` receives a copy (string as text).
  bool ManagerInfo(const XLOPER& action, XLOPER* result, std::string* text);
  void* AddInSymbol(const char* name) const;

  const std::string& AddInPath() const { return addInPath_; }
  const std::vector<Registration>& Registrations() const { return registrations_; }
  const std::vector<NameDeletion>& Deletions() const { return deletions_; }
  bool IsNameDefined(const std::string& name) const;
  size_t DefinedNameCount() const { return names_.size(); }

  // Evaluates "Name(arg, ...)" with numbers and array constants {1,2;3,4}.
  // True with the value as text, false with a message.
  bool Evaluate(const std::string& formula, std::string* value, std::string* error);
  // Whether the text is a call as Evaluate reads it, whatever it calls.
  static bool Parses(const std::string& formula, std::string* error);

  // The callback the add-in reaches through Excel4v.
  int Callback(int xlfn, XLOPER* result, int count, XLOPER** args);

  // "/a/b/x.so" as the add-in expects a file name: "\a\b\x.so".
  static std::string WindowsName(const std::string& linuxPath);
  // "\a\b\Name.dll" -> "/a/b/libName.so" (or "/a/b/Name.so" when only that
  // exists); `tried` lists the candidates for messages.
  static std::string ResolveLibrary(const std::string& windowsPath, std::string* tried);

 private:
  int Register(XLOPER* result, int count, XLOPER** args);
  int SetName(XLOPER* result, int count, XLOPER** args);
  int GetName(XLOPER* result, int count);
  int Free(int count, XLOPER** args);
  int Coerce(XLOPER* result, int count, XLOPER** args);
  void* OpenLibrary(const std::string& path, std::string* error);

  void* addIn_ = nullptr;
  std::string addInPath_;
  std::vector<Registration> registrations_;
  std::map<std::string, size_t> names_;  // upper-cased name -> registration
  std::vector<NameDeletion> deletions_;
  std::map<std::string, void*> libraries_;
  std::set<unsigned char*> handedOut_;  // strings the add-in must free
};

// Formats a double as the shortest text that reads back to the same value.
std::string FormatNumber(double v);

}  // namespace xllhost
