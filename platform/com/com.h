// Everything of the COM and OLE Automation stand-in in one include.
#pragma once

#include "platform/com/types.h"
#include "platform/com/interfaces.h"
#include "platform/com/oleauto.h"
#include "platform/com/runtime.h"
#include "platform/com/dispatch.h"
#include "platform/com/atlbase.h"
#include "platform/com/atlcom.h"
#include "platform/com/comdef.h"
