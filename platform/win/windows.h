// Everything of the Win32 stand-in layer in one include, as the system's
// code expects from <windows.h>. Besides the Win32 names, namespace orvwin
// holds what Linux needs said explicitly: CritSecLock, UserDataFolder,
// RuntimeFolder, RegistryPath, RegisterStringResources, ThisModule,
// ModuleHandleOf, RegisterFileVersion, OtherCopies, TerminateOtherCopies.
#pragma once

#include "win/types.h"
#include "win/winerror.h"
#include "win/sync.h"
#include "win/thread.h"
#include "win/registry.h"
#include "win/profile.h"
#include "win/resource.h"
#include "win/folders.h"
#include "win/oledate.h"
#include "win/message.h"
#include "win/process.h"
#include "win/version.h"
