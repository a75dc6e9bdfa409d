#include "server/OrveProcess.h"

#include <strings.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <exception>

#include "platform/com/com.h"
#include "feed/CSettings.h"
#include "feed/SslContextSetup.h"
#include "platform/log/Log.h"
#include "server/CExeModule.h"
#include "server/CIVIndexes.h"
#include "server/CIVSurfaces.h"
#include "server/CInterestRate.h"
#include "server/CNstdOptions.h"
#include "server/COptions.h"
#include "server/CShellIconHelper.h"
#include "server/CStocks.h"
#include "server/CZmOrvEnt.h"
#include "server/OrveResources.h"
#include "platform/ui/winuser.h"
#include "platform/win/process.h"

const char kOrveInstanceMutex[] = "9491CBDC-6FEC-465b-A4BE-C8CA68414653";

namespace {

BEGIN_OBJECT_MAP(ObjectMap)
OBJECT_ENTRY(CLSID_ZmOrvEnt, CZmOrvEnt)
OBJECT_ENTRY_NON_CREATEABLE(CStocks)
OBJECT_ENTRY_NON_CREATEABLE(COptions)
OBJECT_ENTRY_NON_CREATEABLE(CNstdOptions)
OBJECT_ENTRY_NON_CREATEABLE(CIVIndexes)
OBJECT_ENTRY_NON_CREATEABLE(CIVSurfaces)
OBJECT_ENTRY_NON_CREATEABLE(CInterestRate)
END_OBJECT_MAP()

const UINT kAppIdScript = 100;

std::string BaseName(const std::string& path) {
  std::string name = path.substr(path.find_last_of("/\\") + 1);
  if (name.size() > 4 && strcasecmp(name.c_str() + name.size() - 4, ".exe") == 0)
    name.resize(name.size() - 4);
  return name;
}

void ShowTrayIcon() {
  ShellIcon().SetTooltipText("Zelmora SDK client");
  ShellIcon().SetIcon(216);
  ShellIcon().ShowIcon(true);
}

void HideTrayIcon() { ShellIcon().ShowIcon(false); }

}  // namespace

void KillProcessByName(const char* name, bool spareOwnProcess) {
  if (!name || strcasecmp(BaseName(name).c_str(), BaseName(orvcom::ModulePath()).c_str()) != 0)
    return;
  orvwin::TerminateOtherCopies(kOrveInstanceMutex, 2000);
  if (!spareOwnProcess) std::_Exit(0);
}

// A second copy ends every running copy and takes the mutex over.
static HANDLE TakeOverInstance() {
  HANDLE running = OpenMutexA(MUTEX_ALL_ACCESS, FALSE, kOrveInstanceMutex);
  if (running) {
    ORV_LOG(orvlog::kError, "ERROR DESCR : Only one copy of the service may be run.");
    CloseHandle(running);
    KillProcessByName("ORVE.exe", true);
  }
  return CreateMutexA(nullptr, TRUE, kOrveInstanceMutex);
}

void OnTerminate() {
  ORV_LOG(orvlog::kError, "Critical error: application terminated");
  std::abort();
}

std::string GetModuleVersionString(const std::string& path) {
  DWORD handle = 0;
  DWORD size = GetFileVersionInfoSizeA(path.c_str(), &handle);
  if (!size) return std::string();
  std::string block(size, '\0');
  if (!GetFileVersionInfoA(path.c_str(), handle, size, &block[0])) return std::string();
  LPVOID info = nullptr;
  UINT length = 0;
  if (!VerQueryValueA(block.data(), "\\", &info, &length) || !info ||
      length < sizeof(VS_FIXEDFILEINFO))
    return std::string();
  const auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(info);
  char text[64];
  std::snprintf(text, sizeof text, "%d, %d, %d, %d", int(HIWORD(fixed->dwFileVersionMS)),
                int(LOWORD(fixed->dwFileVersionMS)), int(HIWORD(fixed->dwFileVersionLS)),
                int(LOWORD(fixed->dwFileVersionLS)));
  return text;
}

void InitLogging(const std::string& userDataFolder, const std::string& commandLine) {
  const std::string program = orvcom::ModulePath();
  const std::string folder = program.substr(0, program.find_last_of('/') + 1);
  orvlog::InitRollingFile(userDataFolder + BaseName(program) + ".log");
  if (orvlog::IsEnabled(orvlog::kInfo)) {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char started[64];
    std::snprintf(started, sizeof started, "%-2.2i/%-2.2i/%-4.4i %-2.2i:%-2.2i:%-2.2i",
                  local.tm_mon + 1, local.tm_mday, local.tm_year + 1900, local.tm_hour,
                  local.tm_min, local.tm_sec);
    ORV_LOG(orvlog::kInfo, "\n\nService\t\t: " << program << "\nVersion\t\t: "
                                               << GetModuleVersionString(program)
                                               << "\nParam line\t: "
                                               << (commandLine.empty() ? "empty" : commandLine)
                                               << "\nStart time\t: " << started);
  }
  if (!folder.empty() && ::chdir(folder.c_str()) != 0)
    ORV_LOG(orvlog::kWarn, "Cannot change the current folder to " << folder);
}

ServerSwitch FindServerSwitch(const std::string& commandLine) {
  for (size_t at = commandLine.find_first_of("-/"); at != std::string::npos;
       at = commandLine.find_first_of("-/", at + 1)) {
    const char* rest = commandLine.c_str() + at + 1;
    if (strcasecmp(rest, "UnregServer") == 0) return ServerSwitch::kUnregServer;
    if (strcasecmp(rest, "RegServer") == 0) return ServerSwitch::kRegServer;
  }
  return ServerSwitch::kNone;
}

int OrveMain(int argc, char** argv) {
  // Every client connection and event sink holds a descriptor.
  orvwin::RaiseDescriptorLimit();
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);

  const std::string folder = orvwin::UserDataFolder();
  if (folder.empty()) {
    const DWORD error = GetLastError();
    std::fprintf(stderr, "ORVE: cannot create the user data folder (error %u)\n", unsigned(error));
    CoUninitialize();
    return int(error);
  }

  // The command line as one text: the program's path, then its arguments.
  std::string params;
  for (int i = 1; i < argc; ++i) params += (i > 1 ? " " : "") + std::string(argv[i]);
  InitLogging(folder, params);
  const std::string commandLine = orvcom::ModulePath() + (params.empty() ? "" : " " + params);

  // A copy that registers takes the single-instance mutex only once its
  // registry write is done: a serving copy started meanwhile (a client
  // reconnecting) finds no copy to end, and the copy that serves is not
  // ended while the registry is half written.
  const ServerSwitch requested = FindServerSwitch(commandLine);
  HANDLE instance = requested == ServerSwitch::kNone ? TakeOverInstance() : nullptr;

  std::set_terminate(&OnTerminate);

  RegisterOrveResources();
  CExeModule& module = Module();
  CZmOrvEnt::SetObjectMainHooks(&ShowTrayIcon, &HideTrayIcon);
  ShellIcon().SetExitHook(&CZmOrvEnt::ObjectMain);
  module.Init(ObjectMap, reinterpret_cast<HINSTANCE>(GetModuleHandleA(nullptr)),
              &LIBID_BraskOrvEnt);

  module.dwThreadID = GetCurrentThreadId();
  MSG msg;
  PeekMessageA(&msg, nullptr, WM_USER, WM_USER, PM_NOREMOVE);  // makes the thread's queue

  int exitCode = 0;
  if (requested != ServerSwitch::kNone) {
    const BOOL registering = requested == ServerSwitch::kRegServer;
    HRESULT hr = S_OK;
    {
      // Every key in one replacement of the file, or none.
      orvwin::RegistryTransaction transaction;
      hr = module.UpdateRegistryFromResource(kAppIdScript, registering);
      if (SUCCEEDED(hr)) hr = registering ? module.RegisterServer(TRUE) : module.UnregisterServer(TRUE);
      if (SUCCEEDED(hr)) {
        const LONG rc = transaction.Commit();
        if (rc != ERROR_SUCCESS) hr = HRESULT_FROM_WIN32(DWORD(rc));
      }
    }
    ORV_LOG(orvlog::kInfo, (registering ? "RegServer: 0x" : "UnregServer: 0x")
                               << std::hex << unsigned(hr));
    exitCode = int(hr);
    instance = TakeOverInstance();
  } else {
    CSettings::SetDefaults();
    CSettings::LoadSettings();
    CSettings::ApplyStartupCorrections();
    ConfigureSslContext();

    if (!module.StartMonitor()) {
      ORV_LOG(orvlog::kError, "ERROR: cannot start the shutdown monitor");
      exitCode = int(E_FAIL);
    } else {
      HRESULT hr = module.RegisterClassObjects(CLSCTX_LOCAL_SERVER,
                                               REGCLS_MULTIPLEUSE | REGCLS_SUSPENDED);
      if (SUCCEEDED(hr)) hr = CoResumeClassObjects();
      if (FAILED(hr)) {
        ORV_LOG(orvlog::kError, "ERROR: cannot register the class objects: 0x" << std::hex
                                                                              << unsigned(hr));
        exitCode = int(hr);
      } else {
        while (GetMessageA(&msg, nullptr, 0, 0) > 0) DispatchMessageA(&msg);
      }
      module.RevokeClassObjects();
      Sleep(module.dwPause);
    }
  }

  module.Term();
  if (instance) CloseHandle(instance);
  CoUninitialize();
  return exitCode;
}
