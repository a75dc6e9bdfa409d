// The automation contract as this library sees it: the generated interface
// declarations, identifiers and enums of the type library.
#pragma once

#include "BraskOrvEnt.h"
