// xllhost: runs a spreadsheet add-in outside a spreadsheet.
#include <cstdio>
#include <cstring>
#include <string>

#include "XllHost.h"

namespace {

const char kUsage[] =
    "usage: xllhost ADDIN --list\n"
    "       xllhost ADDIN 'Function(arg,...)' ['Function(arg,...)' ...]\n"
    "       xllhost --help\n"
    "\n"
    "Loads the add-in ADDIN (a shared library with xlAutoOpen), opens it, and\n"
    "either lists what it registered or evaluates worksheet calls through the\n"
    "functions it registered, then closes it (xlAutoClose).\n"
    "\n"
    "  --list   every registration with all its texts, the add-in manager name,\n"
    "           and the names deleted when the add-in closes\n"
    "\n"
    "Arguments are numbers or array constants such as {1.5,2;3,4} (',' between\n"
    "columns, ';' between rows). A function's registered type text decides\n"
    "how each argument is passed: B a double, I a 16-bit integer (truncated\n"
    "toward zero), K an array (a single number is a 1 x 1 array). Each result\n"
    "is printed on its own line.\n"
    "\n"
    "The add-in is told its own file name in Windows form, with backslashes\n"
    "for slashes (paths longer than 255 characters cannot be told). A\n"
    "registered library such as \"\\dir\\HlUnivOpt.dll\" is resolved to the Linux\n"
    "shared library of the same base name in that folder: /dir/libHlUnivOpt.so,\n"
    "or /dir/HlUnivOpt.so.\n"
    "\n"
    "Exit status: 0 success, 1 a call failed (a function not registered, a wrong\n"
    "number of arguments), 2 bad usage (an unknown option, a text that is not a\n"
    "call) or the add-in could not be loaded.\n";

std::string Quote(const std::string& s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    if (c == '"') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c >= 0x7f) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02x", c);
      out += buf;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

const char* const kColumnNames[] = {"module",        "procedure",     "type text",
                                    "function text", "argument text", "macro type",
                                    "category",      "shortcut",      "help topic",
                                    "function help"};

void List(xllhost::XllHost& host) {
  std::printf("add-in: %s (told as %s)\n", host.AddInPath().c_str(),
              Quote(xllhost::XllHost::WindowsName(host.AddInPath())).c_str());
  XLOPER action;
  action.val.num = 1;
  action.xltype = xltypeNum;
  XLOPER answer;
  std::string name;
  if (host.ManagerInfo(action, &answer, &name)) {
    if (answer.xltype == xltypeStr) {
      std::printf("add-in manager name: %s\n", Quote(name).c_str());
    } else {
      std::printf("add-in manager name: (none)\n");
    }
  }
  const auto& regs = host.Registrations();
  std::printf("registered %zu functions\n", regs.size());
  for (size_t i = 0; i < regs.size(); ++i) {
    const auto& r = regs[i];
    std::printf("[%zu] %s\n", i, r.Text(xllhost::kFunctionText).c_str());
    for (size_t c = 0; c < r.texts.size(); ++c) {
      std::string label = c < 10 ? kColumnNames[c] : "argument help " + std::to_string(c - 9);
      std::printf("    %-16s %s\n", (label + ":").c_str(), Quote(r.texts[c]).c_str());
    }
    if (r.procedure != nullptr) {
      std::printf("    %-16s %s\n", "library:", r.library.c_str());
    } else {
      std::printf("    %-16s %s\n", "not callable:", r.error.c_str());
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      std::fputs(kUsage, stdout);
      return 0;
    }
  }
  if (argc < 3) {
    std::fprintf(stderr, "xllhost: expected an add-in and --list or a call\n%s", kUsage);
    return 2;
  }
  bool list = false;
  for (int i = 2; i < argc; ++i) {
    if (std::strcmp(argv[i], "--list") == 0) {
      list = true;
    } else if (argv[i][0] == '-' && argv[i][1] == '-') {
      std::fprintf(stderr, "xllhost: unknown option '%s' (see --help)\n", argv[i]);
      return 2;
    }
  }
  if (list && argc != 3) {
    std::fprintf(stderr,
                 "xllhost: --list takes no further arguments: xllhost ADDIN --list, or "
                 "xllhost ADDIN 'Function(arg,...)' ...\n");
    return 2;
  }
  // A call that is not one is bad usage, told before anything is loaded.
  for (int i = 2; !list && i < argc; ++i) {
    std::string error;
    if (!xllhost::XllHost::Parses(argv[i], &error)) {
      std::fprintf(stderr, "xllhost: %s\n", error.c_str());
      return 2;
    }
  }

  xllhost::XllHost host;
  std::string error;
  if (!host.Load(argv[1], &error)) {
    std::fprintf(stderr, "xllhost: %s\n", error.c_str());
    return 2;
  }
  if (host.AutoOpen() < 0) {
    std::fprintf(stderr, "xllhost: '%s' is not an add-in (no xlAutoOpen)\n", argv[1]);
    return 2;
  }
  int status = 0;
  if (list) {
    List(host);
  } else {
    for (int i = 2; i < argc; ++i) {
      std::string value;
      if (host.Evaluate(argv[i], &value, &error)) {
        std::printf("%s\n", value.c_str());
      } else {
        std::fprintf(stderr, "xllhost: %s\n", error.c_str());
        status = 1;
      }
    }
  }
  const size_t before = host.Deletions().size();
  host.AutoClose();
  if (list) {
    const auto& dels = host.Deletions();
    std::printf("closed: %zu names deleted\n", dels.size() - before);
    for (size_t i = before; i < dels.size(); ++i) {
      std::printf("    deleted %s%s\n", Quote(dels[i].name).c_str(),
                  dels[i].wasDefined ? "" : " (was not defined)");
    }
    std::printf("names still defined: %zu\n", host.DefinedNameCount());
  }
  std::fflush(stdout);
  return status;
}
