// Everything of the Win32 stand-in layer in one include, as the system's
// code expects from <windows.h>. Besides the Win32 names, namespace orvwin
// holds what Linux needs said explicitly: CritSecLock, UserDataFolder,
// RuntimeFolder, RegistryPath, RegisterStringResources, ThisModule,
// ModuleHandleOf, RegisterFileVersion, OtherCopies, TerminateOtherCopies.
#pragma once

#include "platform/win/types.h"
#include "platform/win/winerror.h"
#include "platform/win/sync.h"
#include "platform/win/thread.h"
#include "platform/win/registry.h"
#include "platform/win/profile.h"
#include "platform/win/resource.h"
#include "platform/win/folders.h"
#include "platform/win/oledate.h"
#include "platform/win/message.h"
#include "platform/win/process.h"
#include "platform/win/version.h"
