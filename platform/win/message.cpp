#include "platform/win/message.h"

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

struct Text {
  uint32_t code;
  const char* text;
};

// Win32 codes, also reached through HRESULTs of FACILITY_WIN32.
const Text kWin32[] = {
    {ERROR_SUCCESS, "The operation completed successfully."},
    {ERROR_INVALID_FUNCTION, "Incorrect function."},
    {ERROR_FILE_NOT_FOUND, "The system cannot find the file specified."},
    {ERROR_PATH_NOT_FOUND, "The system cannot find the path specified."},
    {ERROR_ACCESS_DENIED, "Access is denied."},
    {ERROR_INVALID_HANDLE, "The handle is invalid."},
    {ERROR_NOT_ENOUGH_MEMORY, "Not enough memory resources are available to process this command."},
    {ERROR_BAD_FORMAT, "An attempt was made to load a program with an incorrect format."},
    {ERROR_INVALID_DATA, "The data is invalid."},
    {ERROR_OUTOFMEMORY, "Not enough memory resources are available to complete this operation."},
    {ERROR_SHARING_VIOLATION,
     "The process cannot access the file because it is being used by another process."},
    {ERROR_LOCK_VIOLATION,
     "The process cannot access the file because another process has locked a portion of the file."},
    {ERROR_NOT_SUPPORTED, "The request is not supported."},
    {ERROR_FILE_EXISTS, "The file exists."},
    {ERROR_INVALID_PARAMETER, "The parameter is incorrect."},
    {ERROR_INSUFFICIENT_BUFFER, "The data area passed to a system call is too small."},
    {ERROR_INVALID_NAME, "The filename, directory name, or volume label syntax is incorrect."},
    {ERROR_MOD_NOT_FOUND, "The specified module could not be found."},
    {ERROR_DIR_NOT_EMPTY, "The directory is not empty."},
    {ERROR_ALREADY_EXISTS, "Cannot create a file when that file already exists."},
    {ERROR_ENVVAR_NOT_FOUND, "The system could not find the environment option that was entered."},
    {ERROR_MORE_DATA, "More data is available."},
    {WAIT_TIMEOUT, "The wait operation timed out."},
    {ERROR_NO_MORE_ITEMS, "No more data is available."},
    {ERROR_NOT_OWNER, "Attempt to release mutex not owned by caller."},
    {ERROR_MR_MID_NOT_FOUND,
     "The system cannot find message text for message number 0x%1 in the message file for %2."},
    {ERROR_BADDB, "The configuration registry database is corrupt."},
    {ERROR_BADKEY, "The configuration registry key is invalid."},
    {ERROR_CANTOPEN, "The configuration registry key could not be opened."},
    {ERROR_CANTREAD, "The configuration registry key could not be read."},
    {ERROR_CANTWRITE, "The configuration registry key could not be written."},
    {ERROR_KEY_DELETED, "Illegal operation attempted on a registry key that has been marked for deletion."},
    {ERROR_TIMEOUT, "This operation returned because the timeout period expired."},
    {ERROR_RESOURCE_DATA_NOT_FOUND, "The specified image file did not contain a resource section."},
    {ERROR_RESOURCE_TYPE_NOT_FOUND, "The specified resource type cannot be found in the image file."},
    {ERROR_RESOURCE_NAME_NOT_FOUND, "The specified resource name cannot be found in the image file."},
    {RPC_S_SERVER_UNAVAILABLE, "The RPC server is unavailable."},
};

const Text kHresults[] = {
    {static_cast<uint32_t>(E_NOTIMPL), "Not implemented"},
    {static_cast<uint32_t>(E_NOINTERFACE), "No such interface supported"},
    {static_cast<uint32_t>(E_POINTER), "Invalid pointer"},
    {static_cast<uint32_t>(E_ABORT), "Operation aborted"},
    {static_cast<uint32_t>(E_FAIL), "Unspecified error"},
    {static_cast<uint32_t>(E_UNEXPECTED), "Catastrophic failure"},
    {static_cast<uint32_t>(RPC_E_CALL_REJECTED), "Call was rejected by callee."},
    {static_cast<uint32_t>(RPC_E_SERVER_DIED),
     "The callee (server [not server application]) is not available and disappeared; all "
     "connections are invalid. The call may have executed."},
    {static_cast<uint32_t>(RPC_E_SERVERFAULT), "The server threw an exception."},
    {static_cast<uint32_t>(RPC_E_DISCONNECTED), "The object invoked has disconnected from its clients."},
    {static_cast<uint32_t>(RPC_E_WRONG_THREAD),
     "The application called an interface that was marshalled for a different thread."},
    {static_cast<uint32_t>(RPC_E_TIMEOUT), "This operation returned because the timeout period expired."},
    {static_cast<uint32_t>(DISP_E_UNKNOWNINTERFACE), "Unknown interface."},
    {static_cast<uint32_t>(DISP_E_MEMBERNOTFOUND), "Member not found."},
    {static_cast<uint32_t>(DISP_E_PARAMNOTFOUND), "Parameter not found."},
    {static_cast<uint32_t>(DISP_E_TYPEMISMATCH), "Type mismatch."},
    {static_cast<uint32_t>(DISP_E_UNKNOWNNAME), "Unknown name."},
    {static_cast<uint32_t>(DISP_E_NONAMEDARGS), "No named arguments."},
    {static_cast<uint32_t>(DISP_E_BADVARTYPE), "Bad variable type."},
    {static_cast<uint32_t>(DISP_E_EXCEPTION), "Exception occurred."},
    {static_cast<uint32_t>(DISP_E_OVERFLOW), "Out of present range."},
    {static_cast<uint32_t>(DISP_E_BADINDEX), "Invalid index."},
    {static_cast<uint32_t>(DISP_E_ARRAYISLOCKED), "Memory is locked."},
    {static_cast<uint32_t>(DISP_E_BADPARAMCOUNT), "Invalid number of parameters."},
    {static_cast<uint32_t>(DISP_E_PARAMNOTOPTIONAL), "Parameter not optional."},
    {static_cast<uint32_t>(TYPE_E_ELEMENTNOTFOUND), "Element not found."},
    {static_cast<uint32_t>(CLASS_E_NOAGGREGATION),
     "Class does not support aggregation (or class object is remote)"},
    {static_cast<uint32_t>(CLASS_E_CLASSNOTAVAILABLE), "ClassFactory cannot supply requested class"},
    {static_cast<uint32_t>(REGDB_E_READREGDB), "Could not read key from registry"},
    {static_cast<uint32_t>(REGDB_E_CLASSNOTREG), "Class not registered"},
    // The connection-point texts; the self-registration codes share these
    // values, and a running program meets the connection points far more.
    {static_cast<uint32_t>(CONNECT_E_NOCONNECTION), "The connection does not exist."},
    {static_cast<uint32_t>(CONNECT_E_ADVISELIMIT),
     "The connection point has reached its limit of connections."},
    {static_cast<uint32_t>(CONNECT_E_CANNOTCONNECT),
     "The sink does not support the interface this connection point requires."},
    {static_cast<uint32_t>(CONNECT_E_OVERRIDDEN), "The connection point has been overridden."},
    {static_cast<uint32_t>(CO_E_NOTINITIALIZED), "CoInitialize has not been called."},
    {static_cast<uint32_t>(CO_E_CLASSSTRING), "Invalid class string"},
    {static_cast<uint32_t>(CO_E_OBJISREG), "Object is already registered"},
    {static_cast<uint32_t>(CO_E_OBJNOTCONNECTED), "Object is not connected to server"},
    {static_cast<uint32_t>(CO_E_SERVER_EXEC_FAILURE), "Server execution failed"},
    {static_cast<uint32_t>(CO_E_SERVER_STOPPING), "Object server is stopping when OLE service contacts it"},
};

const char* Find(const Text* table, size_t n, uint32_t code) {
  for (size_t i = 0; i < n; ++i)
    if (table[i].code == code) return table[i].text;
  return nullptr;
}

const char* Lookup(uint32_t id) {
  if (const char* t = Find(kHresults, sizeof kHresults / sizeof kHresults[0], id)) return t;
  if ((id & 0xFFFF0000u) == 0x80070000u) id &= 0xFFFFu;  // FACILITY_WIN32
  return Find(kWin32, sizeof kWin32 / sizeof kWin32[0], id);
}

}  // namespace

DWORD FormatMessageA(DWORD flags, LPCVOID, DWORD messageId, DWORD, LPSTR buffer, DWORD size,
                     va_list*) {
  if (!(flags & FORMAT_MESSAGE_FROM_SYSTEM) || buffer == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  const char* text = Lookup(messageId);
  if (text == nullptr) {
    SetLastError(ERROR_MR_MID_NOT_FOUND);
    return 0;
  }
  std::string out = text;
  if ((flags & FORMAT_MESSAGE_MAX_WIDTH_MASK) != FORMAT_MESSAGE_MAX_WIDTH_MASK) out += "\r\n";
  const DWORD length = static_cast<DWORD>(out.size());
  if (flags & FORMAT_MESSAGE_ALLOCATE_BUFFER) {
    DWORD bytes = length + 1 > size ? length + 1 : size;
    char* mem = static_cast<char*>(std::malloc(bytes));
    if (mem == nullptr) {
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return 0;
    }
    std::memcpy(mem, out.c_str(), length + 1);
    *reinterpret_cast<LPSTR*>(buffer) = mem;
    return length;
  }
  if (size < length + 1) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  std::memcpy(buffer, out.c_str(), length + 1);
  return length;
}

HLOCAL LocalFree(HLOCAL memory) {
  std::free(memory);
  return nullptr;
}
