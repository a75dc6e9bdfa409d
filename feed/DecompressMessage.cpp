#include "feed/DecompressMessage.h"

#include <limits>

#include "feed/ReplyLimit.h"
#include "platform/log/Log.h"
#include "zip/CUnzipArchive.h"
#include "zip/CUnzipException.h"
#include "zip/CUnzipMemFile.h"

CMessageBuffer DecompressMessage(const uint8_t* data, size_t length) {
  if (data == nullptr) return CMessageBuffer();
  if (length > std::numeric_limits<uint32_t>::max()) {
    ORV_LOG(orvlog::kError, "Unzip error: a reply of " << length << " bytes is larger than an archive can be");
    return CMessageBuffer();
  }
  // The input file reads the reply in place and never frees or grows it; the
  // output file owns what it writes until the buffer is taken over.
  CUnzipMemFile in;
  in.Attach(const_cast<unsigned char*>(data), static_cast<uint32_t>(length));
  CUnzipMemFile out;
  try {
    CUnzipArchive zip;
    zip.Open(in, CUnzipArchive::zipOpen);
    // A reply that unpacks past the largest one the services send is no
    // reply of theirs: a small archive can declare gigabytes of output.
    const uint64_t unpacked = zip.GetUncompressedSize(0);
    if (unpacked > kMaxReplyBytes) {
      zip.Close(false, false);
      ORV_LOG(orvlog::kError, "Unzip error: a reply of " << length << " bytes would unpack to " << unpacked
                                                         << " bytes, more than the " << kMaxReplyBytes
                                                         << " a reply can hold; refused");
      return CMessageBuffer();
    }
    const bool extracted = zip.ExtractFile(0, out, true, 65536);
    zip.Close(false, false);
    // A refused extraction (a folder entry, say) is no message, whatever it
    // may have written, and not an error either.
    const size_t size = extracted ? static_cast<size_t>(out.GetLength()) : 0;
    uint8_t* buffer = out.Detach();
    ORV_LOG(orvlog::kTrace, "Decompressed message size " << size);
    if (size == 0) {
      std::free(buffer);
      return CMessageBuffer();
    }
    return CMessageBuffer(buffer, size);
  } catch (const CUnzipException& e) {
    ORV_LOG(orvlog::kDebug, "Exception: " << __FILE__ << ":" << __LINE__);
    ORV_LOG(orvlog::kError, "Unzip error " << e.m_iCause << " " << e.GetErrorDescription());
  } catch (...) {
    ORV_LOG(orvlog::kDebug, "Exception: " << __FILE__ << ":" << __LINE__);
    ORV_LOG(orvlog::kError, "Unzip unknown error");
  }
  return CMessageBuffer();
}
