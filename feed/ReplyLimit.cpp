#include "feed/ReplyLimit.h"

#include "platform/log/Log.h"

bool NoteRefusedReply(const CORBA::SystemException& e, const char* where) {
  if (dynamic_cast<const CORBA::MARSHAL*>(&e) == nullptr) return false;
  const CORBA::ULong minor = e.minor();
  if (minor != omni::MARSHAL_MessageSizeExceedLimitOnClient && minor != omni::MARSHAL_MessageSizeExceedLimit) {
    return false;
  }
  // The ORB stops reading a reply as soon as it passes the limit and does
  // not say how far it went: the limit is the size known.
  ORV_LOG(orvlog::kError, "ERROR: a reply of the service was refused: it passed the limit of "
                              << kMaxReplyBytes << " bytes; its records are lost (" << where << ")");
  return true;
}
