// The per-user places of the system's files.
#pragma once

#include <string>

#include "platform/win/types.h"

namespace orvwin {

// The user data folder: "$USERPROFILE/Application Data/Orv/" when
// USERPROFILE is set, else "${XDG_DATA_HOME:-$HOME/.local/share}/Orv/".
// Created (with any missing parents) mode 0700; always ends in '/'. Empty
// when it can't be made, with the reason in GetLastError().
std::string UserDataFolder();

// Sockets and lock files: "$XDG_RUNTIME_DIR/orv/", else "/tmp/orv-<uid>/".
// Mode 0700 and owned by this user, or it is refused (empty result,
// ERROR_ACCESS_DENIED): a folder that others can write could hand this
// user's peers someone else's socket.
std::string RuntimeFolder();

// The registry file: $ORV_REGISTRY, else
// "${XDG_CONFIG_HOME:-$HOME/.config}/orv/registry.reg".
std::string RegistryPath();

}  // namespace orvwin
