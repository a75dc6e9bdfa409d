// The server program's start, its registration switches and its end.
#pragma once

#include <string>

#include "platform/win/windows.h"

// The single-instance mutex of the server.
extern const char kOrveInstanceMutex[];

// Ends every running copy of this program whose name matches `name`
// (case-insensitive, ".exe" optional), with exit code 0; the own process
// too unless `spareOwnProcess`. Only copies of the same executable run by
// the same user that hold this runtime folder's single-instance mutex are
// candidates: a copy serving another runtime folder is left running.
void KillProcessByName(const char* name, bool spareOwnProcess);

// The terminate handler: logs the failure and aborts.
[[noreturn]] void OnTerminate();

// "major, minor, third, fourth" of a program file's version; empty when it
// has none.
std::string GetModuleVersionString(const std::string& path);

// The rolling log in the user data folder, named after the program, with
// the start banner; then the program's own folder becomes the current one.
void InitLogging(const std::string& userDataFolder, const std::string& commandLine);

enum class ServerSwitch { kNone, kRegServer, kUnregServer };
// The first "-" or "/" whose following text, to the end of the command
// line, is "UnregServer" or "RegServer" in any case.
ServerSwitch FindServerSwitch(const std::string& commandLine);

// The program's entry; the result is the exit code.
int OrveMain(int argc, char** argv);
