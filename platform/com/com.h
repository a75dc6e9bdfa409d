// Everything of the COM and OLE Automation stand-in in one include.
#pragma once

#include "com/types.h"
#include "com/interfaces.h"
#include "com/oleauto.h"
#include "com/runtime.h"
#include "com/dispatch.h"
#include "com/atlbase.h"
#include "com/atlcom.h"
#include "com/comdef.h"
