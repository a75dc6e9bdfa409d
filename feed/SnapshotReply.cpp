#include "feed/SnapshotReply.h"

#include "Idl/OrvPayload.h"
#include "feed/CSettings.h"
#include "feed/DecompressMessage.h"

void ReadSnapshotReply(const CORBA::Any* reply, const SnapshotBlockReader& read) {
  const orvidl::ReplyOctets octets = orvidl::ReplyData(reply);
  if (octets.empty()) return;
  CMessageBuffer unzipped;
  const uint8_t* message = octets.data;
  size_t length = octets.size;
  if (CSettings::UseCompression != 0) {
    unzipped = DecompressMessage(octets.data, octets.size);
    if (unzipped.empty()) return;
    message = unzipped.data();
    length = unzipped.size();
  }
  // A reply may carry its records in several blocks: all of them are read,
  // and nothing beyond the octets received.
  WalkSnapshotMessage(message, length, [&](const BlockHeader& header, const uint8_t* body, const uint8_t* end) {
    return read(header, body, end);
  });
}
