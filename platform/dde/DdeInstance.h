// What the handle tables need of the instances.
#pragma once

#include <string>

#include "platform/dde/ddeml.h"

namespace orvdde {

bool InstanceExists(DWORD instance);
void SetInstanceError(DWORD instance, UINT error);

// The socket of a service name in the per-user runtime folder; empty when
// the folder can't be had or the name would not fit a socket address.
std::string ServiceSocketPath(const std::string& service);

}  // namespace orvdde
