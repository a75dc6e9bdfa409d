// Reading the reply of a synchronous snapshot request: the octets of the
// any, unpacked first when compression is on, walked block by block.
#pragma once

#include <cstdint>
#include <functional>

#include "feed/MessageFormat.h"
#include "zmdataservice410.hh"

// Reads one block body (data up to end) and returns the position just past
// it, or null when the rest of the reply cannot be read.
typedef std::function<const uint8_t*(const BlockHeader& header, const uint8_t* data, const uint8_t* end)>
    SnapshotBlockReader;

// Hands each block of the reply to read, up to the block marked last. A
// null reply, one without octets or one that does not unpack gives nothing.
// The reply stays the caller's.
void ReadSnapshotReply(const CORBA::Any* reply, const SnapshotBlockReader& read);
