// The largest reply of the market-data services that the program takes.
#pragma once

#include <omniORB4/CORBA.h>

#include <cstddef>

// The services' transport frames a message in at most 32 MiB, so no real
// reply is larger; it bounds a whole GIOP message and an unpacked reply alike.
constexpr size_t kMaxReplyBytes = size_t(32) << 20;

// True for the ORB's refusal of a reply larger than kMaxReplyBytes; that
// refusal is then logged, once for the reply, in plain words.
bool NoteRefusedReply(const CORBA::SystemException& e, const char* where);
