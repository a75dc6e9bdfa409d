// ddeclient: talks to a DDE service from the command line.
//
//   ddeclient [--timeout MS] request SERVICE TOPIC ITEM
//   ddeclient [--timeout MS] advise SERVICE TOPIC ITEM [--count N] [--time MS]
//   ddeclient [--timeout MS] poke SERVICE TOPIC ITEM VALUE
//   ddeclient [--timeout MS] execute SERVICE TOPIC COMMAND
//   ddeclient --help
//
// Values are CF_TEXT; each one received is printed on a line of its own.
// An advise prints every update until N updates came, MS milliseconds
// passed or the server ended the conversation. Exit status: 0 done, 1 the
// service refused or failed (or fewer than N updates came in MS), 2 bad
// command line.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <sys/stat.h>

#include "platform/dde/DdeInstance.h"
#include "platform/dde/ddeml.h"
#include "platform/win/folders.h"
#include "platform/log/Log.h"
#include "platform/ui/winuser.h"

namespace {

long g_wanted = 0;
long g_received = 0;
bool g_lost = false;

const char kUsage[] =
    "usage: ddeclient [--timeout MS] request SERVICE TOPIC ITEM\n"
    "       ddeclient [--timeout MS] advise SERVICE TOPIC ITEM [--count N] [--time MS]\n"
    "       ddeclient [--timeout MS] poke SERVICE TOPIC ITEM VALUE\n"
    "       ddeclient [--timeout MS] execute SERVICE TOPIC COMMAND\n"
    "       ddeclient --help\n";

const char kHelp[] =
    "\n"
    "A DDE client for the command line. Each value received is printed on a line of\n"
    "its own; an advise prints every update until N updates came, MS milliseconds\n"
    "passed or the server ended the conversation.\n"
    "\n"
    "  --timeout MS  how long to wait for the service's answer (default 5000)\n"
    "  --count N     advise: stop after N updates\n"
    "  --time MS     advise: stop after MS milliseconds\n"
    "\n"
    "Services are found through their sockets in $XDG_RUNTIME_DIR/orv/, else\n"
    "/tmp/orv-<uid>/: a client finds a service only with the XDG_RUNTIME_DIR that\n"
    "the service was started with. Exit status: 0 done, 1 the service refused or\n"
    "failed, or an advise with --count and --time got fewer than N updates in MS,\n"
    "2 bad command line.\n";

int Usage(const char* message) {
  if (message) std::fprintf(stderr, "ddeclient: %s\n", message);
  std::fputs(kUsage, stderr);
  return 2;
}

bool Number(const char* text, long* value) {
  char* end = nullptr;
  long v = std::strtol(text, &end, 10);
  if (!*text || *end || v <= 0) return false;
  *value = v;
  return true;
}

// CF_TEXT ends at its first zero byte.
void Print(HDDEDATA data) {
  DWORD size = 0;
  LPBYTE bytes = DdeAccessData(data, &size);
  std::string text(reinterpret_cast<const char*>(bytes), size);
  DdeUnaccessData(data);
  text.resize(std::strlen(text.c_str()));
  std::printf("%s\n", text.c_str());
  std::fflush(stdout);
}

HDDEDATA CALLBACK Callback(UINT type, UINT, HCONV, HSZ, HSZ, HDDEDATA data, ULONG_PTR, ULONG_PTR) {
  if (type == XTYP_ADVDATA) {
    if (data) Print(data);
    if (g_wanted && ++g_received >= g_wanted) PostQuitMessage(0);
    return reinterpret_cast<HDDEDATA>(uintptr_t(DDE_FACK));
  }
  if (type == XTYP_DISCONNECT) {
    g_lost = true;
    PostQuitMessage(0);
  }
  return nullptr;
}

const char* ErrorText(UINT error) {
  switch (error) {
    case DMLERR_NOTPROCESSED:
      return "the server refused the transaction";
    case DMLERR_NO_CONV_ESTABLISHED:
      return "the conversation ended";
    case DMLERR_DATAACKTIMEOUT:
    case DMLERR_ADVACKTIMEOUT:
    case DMLERR_UNADVACKTIMEOUT:
    case DMLERR_POKEACKTIMEOUT:
    case DMLERR_EXECACKTIMEOUT:
      return "the server did not answer in time";
    default:
      return "the transaction failed";
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  long timeout = 5000, count = 0, time = 0;
  std::vector<std::string> words;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--help" || a == "-h") {
      std::fputs(kUsage, stdout);
      std::fputs(kHelp, stdout);
      return 0;
    }
    long* target = a == "--timeout" ? &timeout : a == "--count" ? &count : a == "--time" ? &time
                                                                                       : nullptr;
    if (target) {
      if (i + 1 >= args.size() || !Number(args[i + 1].c_str(), target))
        return Usage((a + " needs a positive number").c_str());
      ++i;
    } else {
      words.push_back(a);
    }
  }
  if (words.empty()) return Usage(nullptr);
  const std::string& verb = words[0];
  size_t expected = verb == "request" || verb == "advise" ? 4
                    : verb == "poke"                      ? 5
                    : verb == "execute"                   ? 4
                                                          : 0;
  if (!expected) return Usage(("unknown command \"" + verb + "\"").c_str());
  if (words.size() != expected) return Usage(("wrong number of arguments for " + verb).c_str());
  if ((count || time) && verb != "advise") return Usage("--count and --time belong to advise");

  // The library's own warnings (a peer that breaks the protocol) go to
  // standard error next to ours.
  orvlog::InitConsole();
  orvlog::SetLevel(orvlog::kWarn);
  DWORD inst = 0;
  UINT err = DdeInitializeA(&inst, Callback, APPCMD_CLIENTONLY, 0);
  if (err != DMLERR_NO_ERROR) {
    std::fprintf(stderr, "ddeclient: DDE could not start (error 0x%X)\n", err);
    return 1;
  }
  int status = 1;
  HSZ service = DdeCreateStringHandleA(inst, words[1].c_str(), CP_WINANSI);
  HSZ topic = DdeCreateStringHandleA(inst, words[2].c_str(), CP_WINANSI);
  HSZ item = verb == "execute" ? nullptr : DdeCreateStringHandleA(inst, words[3].c_str(), CP_WINANSI);
  HCONV conv = service && topic ? DdeConnect(inst, service, topic, nullptr) : nullptr;
  if (!service || !topic || (verb != "execute" && !item)) {
    std::fprintf(stderr, "ddeclient: names must be 1 to 255 characters\n");
  } else if (!conv) {
    // Whether anything listens tells a service that is not there (or runs
    // with another runtime folder) from one that refused the topic.
    const std::string socket = orvdde::ServiceSocketPath(words[1]);
    const std::string folder = orvwin::RuntimeFolder();
    struct stat st {};
    if (socket.empty() || ::stat(socket.c_str(), &st) != 0 || !S_ISSOCK(st.st_mode)) {
      std::fprintf(stderr,
                   "ddeclient: no service \"%s\" in %s (is it running, and with this "
                   "XDG_RUNTIME_DIR?)\n",
                   words[1].c_str(), folder.empty() ? "the runtime folder" : folder.c_str());
    } else {
      std::fprintf(stderr,
                   "ddeclient: service \"%s\" (%s) refused a conversation on topic \"%s\", "
                   "or did not answer\n",
                   words[1].c_str(), socket.c_str(), words[2].c_str());
    }
  } else if (verb == "request") {
    HDDEDATA data = DdeClientTransaction(nullptr, 0, conv, item, CF_TEXT, XTYP_REQUEST,
                                         DWORD(timeout), nullptr);
    if (data) {
      Print(data);
      DdeFreeDataHandle(data);
      status = 0;
    } else {
      std::fprintf(stderr, "ddeclient: request of item \"%s\" on topic \"%s\" of \"%s\": %s\n",
                   words[3].c_str(), words[2].c_str(), words[1].c_str(),
                   ErrorText(DdeGetLastError(inst)));
    }
  } else if (verb == "advise") {
    if (!DdeClientTransaction(nullptr, 0, conv, item, CF_TEXT, XTYP_ADVSTART, DWORD(timeout),
                              nullptr)) {
      std::fprintf(stderr, "ddeclient: advise of item \"%s\" on topic \"%s\" of \"%s\": %s\n",
                   words[3].c_str(), words[2].c_str(), words[1].c_str(),
                   ErrorText(DdeGetLastError(inst)));
    } else {
      g_wanted = count;
      if (time) SetTimer(nullptr, 0, UINT(time), nullptr);
      MSG msg;
      while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
        if (msg.message == WM_TIMER && !msg.hwnd) break;
        DispatchMessageA(&msg);
      }
      if (g_lost) {
        std::fprintf(stderr, "ddeclient: the server ended the conversation\n");
      } else {
        DdeClientTransaction(nullptr, 0, conv, item, CF_TEXT, XTYP_ADVSTOP, DWORD(timeout),
                             nullptr);
        status = 0;
        // A bound of time that came before the count: what was asked for
        // did not come, which a script must be able to tell.
        if (count && g_received < count) {
          std::fprintf(stderr,
                       "ddeclient: advise of item \"%s\" on topic \"%s\" of \"%s\": %ld of %ld "
                       "updates in %ld ms\n",
                       words[3].c_str(), words[2].c_str(), words[1].c_str(), g_received, count,
                       time);
          status = 1;
        } else if (!g_received) {
          std::fprintf(stderr,
                       "ddeclient: advise of item \"%s\" on topic \"%s\" of \"%s\": no update "
                       "in %ld ms\n",
                       words[3].c_str(), words[2].c_str(), words[1].c_str(), time);
        }
      }
    }
  } else {
    std::string value = verb == "poke" ? words[4] : words[3];
    DWORD ack = 0;
    // The terminating zero goes along: CF_TEXT is a zero-ended text.
    HDDEDATA ok = DdeClientTransaction(reinterpret_cast<LPBYTE>(&value[0]), DWORD(value.size() + 1),
                                       conv, item, CF_TEXT, verb == "poke" ? XTYP_POKE : XTYP_EXECUTE,
                                       DWORD(timeout), &ack);
    if (ok) {
      status = 0;
    } else {
      std::fprintf(stderr, "ddeclient: %s on topic \"%s\" of \"%s\": %s\n", verb.c_str(),
                   words[2].c_str(), words[1].c_str(), ErrorText(DdeGetLastError(inst)));
    }
  }
  if (conv) DdeDisconnect(conv);
  DdeUninitialize(inst);
  return status;
}
