#include "feed/CSettings.h"

#include <sys/stat.h>

#include <cstring>

#include "feed/SslFileCheck.h"
#include "platform/log/Log.h"

const char* const CSettings::kRegistryKey = "SOFTWARE\\Brask\\Orv\\";
const char* const CSettings::kIniFileName = "orv.ini";
const char* const CSettings::kDefaultConnString = "ssliop:securedata.orv:443";
const char* const CSettings::kDefaultFutConnString = "iiop:data.orv:443";

int CSettings::LogLevel = 2;
DWORD CSettings::ServerTimeout = 30000;
DWORD CSettings::PullTimeout = 30000;
DWORD CSettings::EventTimeout = 30000;
DWORD CSettings::UseCompression = 0;
DWORD CSettings::ProtocolVersion = 0;
std::string CSettings::AppName = "ZmDataService";
std::string CSettings::FutAppName = "ZmDataBroker";
DWORD CSettings::UseSSL = 0;
std::string CSettings::CertificateFile;
std::string CSettings::RootCertificateFile;
std::string CSettings::KeyPass = "Quillmet";
std::string CSettings::ConnString = CSettings::kDefaultConnString;
std::string CSettings::FutConnString = CSettings::kDefaultFutConnString;
int CSettings::UseProxy = 0;
std::string CSettings::ProxyServer;
std::string CSettings::ProxyPort = "0";
std::string CSettings::ProxyUser;
std::string CSettings::ProxyPass;
CSettings::InitRefList CSettings::InitRef;
CSettings::InitRefList CSettings::InitFutRef;

namespace {

constexpr DWORD kDefaultTimeout = 30000;
constexpr DWORD kMaxWait = 0x7FFFFFFF;
constexpr DWORD kStringBuffer = 1024;

// A DWORD counts only when stored as one. Returns the system error code.
LONG ReadDword(HKEY key, const char* name, DWORD* value) {
  DWORD type = 0;
  DWORD data = 0;
  DWORD size = sizeof data;
  const LONG rc = RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<LPBYTE>(&data), &size);
  if (rc != ERROR_SUCCESS) return rc;
  if (type != REG_DWORD || size != sizeof data) return ERROR_INVALID_DATA;
  *value = data;
  return ERROR_SUCCESS;
}

// A string counts when present, of a string type, terminated and within the
// 1024-byte buffer.
LONG ReadString(HKEY key, const char* name, std::string* value) {
  char buffer[kStringBuffer];
  DWORD type = 0;
  DWORD size = sizeof buffer;
  const LONG rc = RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<LPBYTE>(buffer), &size);
  if (rc != ERROR_SUCCESS) return rc;
  if (type != REG_SZ && type != REG_EXPAND_SZ) return ERROR_INVALID_DATA;
  if (size == 0 || size > sizeof buffer || buffer[size - 1] != '\0') return ERROR_INVALID_DATA;
  *value = std::string(buffer, std::strlen(buffer));
  return ERROR_SUCCESS;
}

std::string IniPath() { return orvwin::UserDataFolder() + CSettings::kIniFileName; }

std::string ProfileString(const char* keyName, const char* defaultValue, const std::string& file) {
  char buffer[kStringBuffer];
  const DWORD n = GetPrivateProfileStringA("Proxy", keyName, defaultValue, buffer, sizeof buffer, file.c_str());
  return std::string(buffer, n < sizeof buffer ? n : sizeof buffer - 1);
}

// Splits at every ";", dropping empty pieces and keeping blanks inside a
// token, and appends one named reference per token.
void AppendEndpoints(const std::string& conn, const std::string& app, int* number, CSettings::InitRefList* list) {
  size_t start = 0;
  while (start <= conn.size()) {
    size_t end = conn.find(';', start);
    if (end == std::string::npos) end = conn.size();
    if (end > start) {
      const std::string token = conn.substr(start, end - start);
      const std::string name = "Endpoint" + std::to_string((*number)++);
      list->emplace_back(name, name + "=corbaloc:" + token + "/" + app);
    }
    start = end + 1;
  }
}

bool FileExists(const std::string& path) {
  struct stat st;
  return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace

void CSettings::SetDefaults() {
  LogLevel = 2;
  ServerTimeout = kDefaultTimeout;
  PullTimeout = kDefaultTimeout;
  EventTimeout = kDefaultTimeout;
  UseCompression = 0;
  ProtocolVersion = 0;
  AppName = "ZmDataService";
  FutAppName = "ZmDataBroker";
  UseSSL = 0;
  CertificateFile.clear();
  RootCertificateFile.clear();
  KeyPass = "Quillmet";
  ConnString = kDefaultConnString;
  FutConnString = kDefaultFutConnString;
  UseProxy = 0;
  ProxyServer.clear();
  ProxyPort = "0";
  ProxyUser.clear();
  ProxyPass.clear();
  InitRef.clear();
  InitFutRef.clear();
}

void CSettings::BuildEndpointLists() {
  InitRef.clear();
  InitFutRef.clear();
  int number = 0;
  AppendEndpoints(ConnString, AppName, &number, &InitRef);
  AppendEndpoints(FutConnString, FutAppName, &number, &InitFutRef);
}

bool CSettings::LoadSettings() {
  ORV_LOG(orvlog::kTrace, "CSettings::LoadSettings() started");
  bool ok = true;
  HKEY key = nullptr;
  const LONG opened = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kRegistryKey, 0, KEY_READ, &key);
  if (opened != ERROR_SUCCESS) {
    ORV_LOG(orvlog::kError, "Error: " << opened << " Unable to open registry key HKEY_LOCAL_MACHINE\\" << kRegistryKey
                                      << "\n"
                                      << "Used defaults settings");
    // The defaults still name both services.
    BuildEndpointLists();
    ORV_LOG(orvlog::kTrace, "CSettings::LoadSettings() comleted");
    return false;
  }

  DWORD level = 0;
  if (ReadDword(key, "LogLevel", &level) == ERROR_SUCCESS) {
    LogLevel = level == 1 ? orvlog::kDebug : level == 2 ? orvlog::kTrace : orvlog::kError;
  }
  orvlog::SetLevel(LogLevel);
  ORV_LOG(orvlog::kDebug, "Set trace level " << LogLevel);

  auto missing = [&](LONG code, const char* name) {
    ORV_LOG(orvlog::kError, "Error: " << code << " Unable to retrieve " << name << " value. Used defaults settings");
    ok = false;
  };
  DWORD v = 0;
  LONG rc = ReadDword(key, "ServerTimeout", &v);
  if (rc == ERROR_SUCCESS) {
    ServerTimeout = v == 0 ? kDefaultTimeout : v;
  } else {
    missing(rc, "ServerTimeout");
  }
  rc = ReadDword(key, "PullTimeout", &v);
  if (rc == ERROR_SUCCESS) {
    PullTimeout = v == 0 ? kDefaultTimeout : (v > kMaxWait ? kMaxWait : v);
  } else {
    missing(rc, "PullTimeout");
  }
  if (ReadDword(key, "EventTimeout", &v) == ERROR_SUCCESS) EventTimeout = v == 0 ? kDefaultTimeout : v;
  rc = ReadDword(key, "UseCompression", &v);
  if (rc == ERROR_SUCCESS) {
    UseCompression = v;
  } else {
    missing(rc, "UseCompression");
  }
  if (ReadDword(key, "ProtocolVersion", &v) == ERROR_SUCCESS) ProtocolVersion = v;
  rc = ReadString(key, "AppName", &AppName);
  if (rc != ERROR_SUCCESS) missing(rc, "AppName");
  rc = ReadString(key, "FutAppName", &FutAppName);
  if (rc != ERROR_SUCCESS) missing(rc, "FutAppName");

  if (ReadDword(key, "UseSSL", &v) == ERROR_SUCCESS && v != 0) {
    UseSSL = 1;
    for (const auto& file : {std::make_pair("CertificateFile", &CertificateFile),
                             std::make_pair("RootCertificateFile", &RootCertificateFile)}) {
      rc = ReadString(key, file.first, file.second);
      if (rc != ERROR_SUCCESS) {
        ORV_LOG(orvlog::kError, "Error: " << rc << " Unable to retrieve " << file.first << " value (SSL disabled)");
        UseSSL = 0;
        ok = false;
      }
    }
    rc = ReadString(key, "KeyPass", &KeyPass);
    if (rc != ERROR_SUCCESS) {
      ORV_LOG(orvlog::kError, "Error: " << rc << " Unable to retrieve " << "KeyPass" << " value");
      ok = false;
    }
  }

  const std::string ini = IniPath();
  UseProxy = static_cast<int>(GetPrivateProfileIntA("Proxy", "UseProxy", 0, ini.c_str()));
  if (UseProxy != 0) {
    ProxyServer = ProfileString("ProxyServer", "", ini);
    ProxyPort = ProfileString("ProxyPort", "0", ini);
    ProxyUser = ProfileString("ProxyUser", "", ini);
    ProxyPass = ProfileString("ProxyPass", "", ini);
  }

  rc = ReadString(key, "ConnString", &ConnString);
  if (rc != ERROR_SUCCESS) {
    ORV_LOG(orvlog::kError, "Error: " << rc << " Unable to retrieve " << "ConnString");
    ok = false;
  }
  rc = ReadString(key, "FutConnString", &FutConnString);
  if (rc != ERROR_SUCCESS) {
    ORV_LOG(orvlog::kError, "Error: " << rc << " Unable to retrieve " << "FutConnString");
    ok = false;
  }
  BuildEndpointLists();

  ORV_LOG(orvlog::kTrace, "CSettings::LoadSettings() comleted");
  RegCloseKey(key);
  return ok;
}

void CSettings::ApplyStartupCorrections() {
  if (ProtocolVersion != 0 && ProtocolVersion != 2) {
    ORV_LOG(orvlog::kWarn,
            "Invalid protocol version: " << ProtocolVersion << ". Protocol version reset to default value");
    ProtocolVersion = 0;
  }
  if (UseSSL != 0) {
    // Checked before the ORB sees the files: it refuses to start at all
    // over one it cannot use (missing, unreadable, not PEM, a key that the
    // pass phrase does not open), plain endpoints included.
    if (!FileExists(RootCertificateFile)) {
      ORV_LOG(orvlog::kWarn, "WARN DESCR: Cannot open certificate file: " << RootCertificateFile);
      UseSSL = 0;
    } else {
      const std::string problem = CertificateAuthorityFileProblem(RootCertificateFile);
      if (!problem.empty()) {
        ORV_LOG(orvlog::kWarn,
                "WARN DESCR: Cannot load certificate file: " << RootCertificateFile << " (" << problem << ")");
        UseSSL = 0;
      }
    }
    if (!FileExists(CertificateFile)) {
      ORV_LOG(orvlog::kWarn, "WARN DESCR: Cannot open key file: " << CertificateFile);
      UseSSL = 0;
    } else {
      const std::string problem = KeyFileProblem(CertificateFile, KeyPass);
      if (!problem.empty()) {
        ORV_LOG(orvlog::kWarn, "WARN DESCR: Cannot load key file: " << CertificateFile << " (" << problem << ")");
        UseSSL = 0;
      }
    }
  }
}
