// The program's process-wide configuration: set to defaults, then read once
// from the registry and the ini file during start-up, before any session
// exists; read without locks afterwards.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "platform/win/windows.h"

class CSettings {
 public:
  typedef std::vector<std::pair<std::string, std::string>> InitRefList;

  // Every value to its default, both endpoint lists empty.
  static void SetDefaults();
  // Reads the registry key and the ini section "Proxy" and builds the
  // endpoint lists. True when no value that is logged as missing was.
  static bool LoadSettings();
  // The start-up's corrections, run right after LoadSettings and before
  // anything reaches the ORB: an unsupported protocol version falls back to
  // 0, and SSL stays on only when both of its files exist and load (the
  // key file with KeyPass).
  static void ApplyStartupCorrections();

  static const char* const kRegistryKey;  // "SOFTWARE\Brask\Orv\" under HKEY_LOCAL_MACHINE
  static const char* const kIniFileName;  // "orv.ini" in the user data folder
  static const char* const kDefaultConnString;
  static const char* const kDefaultFutConnString;

  // The log threshold handed to the log (a missing value hands over 2).
  static int LogLevel;
  static DWORD ServerTimeout;
  static DWORD PullTimeout;  // never above 2^31-1: it travels as a signed 32-bit wait
  // How long a client's event handler may take (ms) before the client is
  // taken for dead; optional, so older registries keep the default.
  static DWORD EventTimeout;
  static DWORD UseCompression;
  static DWORD ProtocolVersion;
  static std::string AppName;
  static std::string FutAppName;
  static DWORD UseSSL;
  static std::string CertificateFile;
  static std::string RootCertificateFile;
  static std::string KeyPass;
  static std::string ConnString;
  static std::string FutConnString;

  static int UseProxy;
  static std::string ProxyServer;
  static std::string ProxyPort;
  static std::string ProxyUser;
  static std::string ProxyPass;

  // (reference name, initial reference argument) for each endpoint.
  static InitRefList InitRef;
  static InitRefList InitFutRef;

 private:
  static void BuildEndpointLists();
};
