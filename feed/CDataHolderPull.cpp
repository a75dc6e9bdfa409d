// The pull threads of a session and the walk of the messages they receive.
#include <omniORB4/CORBA.h>

#include <cinttypes>
#include <cstdio>

#include "OrvPayload.h"
#include "platform/com/comdef.h"
#include "platform/com/runtime.h"
#include "feed/CDataHolder.h"
#include "feed/CSettings.h"
#include "feed/CFuturesDB.h"
#include "feed/CStocksDB.h"
#include "feed/DecompressMessage.h"
#include "feed/MessageFormat.h"
#include "feed/ReplyLimit.h"
#include "feed/StopEvent.h"
#include "platform/log/Log.h"

namespace {

// How long a pull thread waits for a reply between two looks at its stop
// events.
constexpr DWORD kPollSliceMs = 100;
constexpr DWORD kCyclePauseMs = 1000;
constexpr DWORD kThreadEndWaitMs = 1000;

struct PullTexts {
  const char* started;
  const char* send;
  const char* received;
  const char* empty;
  const char* completed;
  const char* method;  // in the error lines
};

const PullTexts kEquityTexts = {"_PullThread started user: ", "Send request to server", "Received server response",
                                "Server response is empty", "_PullThread completed user: ", "_PullThread"};
const PullTexts kFuturesTexts = {"_FutPullThread started user: ",     "Send request to futures server",
                                 "Received futures server response",  "Futures server response is empty",
                                 "_FutPullThread completed user: ",   "_FutPullThread"};

using orvcom::Narrow;

}  // namespace

namespace {

// The pull thread's own reference to its manager, with its own call
// time-out: the service may hold an idle pull for PullTimeout, and the reply
// then still needs the usual time to arrive. A reference of its own keeps
// that longer time-out away from the calls of the automation threads, which
// share the session's reference; the ORB applies no per-thread time-out to
// the polled form of the call.
Orv::ZmDataManager_ptr PullReference(Orv::ZmDataManager_ptr server) {
  if (CORBA::is_nil(server)) return Orv::ZmDataManager::_nil();
  int argc = 0;
  CORBA::ORB_var orb = CORBA::ORB_init(argc, nullptr, "");
  CORBA::String_var ior = orb->object_to_string(server);
  CORBA::Object_var object = orb->string_to_object(ior);
  Orv::ZmDataManager_var own = Orv::ZmDataManager::_narrow(object);
  const uint64_t idle = static_cast<uint64_t>(CSettings::PullTimeout) + CSettings::ServerTimeout;
  omniORB::setClientCallTimeout(own, idle > 0xFFFFFFFEu ? 0xFFFFFFFEu : static_cast<CORBA::ULong>(idle));
  return own._retn();
}

}  // namespace

void CDataHolder::_StartPullThread(bool futures) {
  PullThread& t = futures ? m_futPull : m_pull;
  if (t.started) return;
  t.ended = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  HANDLE ended = t.ended;
  t.thread = std::thread([this, futures, ended]() {
    _PullLoop(futures);
    SetEvent(ended);
  });
  t.started = true;
}

void CDataHolder::_StopPullThread(PullThread& t, const char* name) {
  if (!t.started) return;
  // The thread tests the stop between the slices of its pull and between
  // the steps of a rebuild; it can be held only by the one remote call in
  // progress, which the ORB ends within ServerTimeout. It is never killed:
  // the tables it writes must outlive it, so it is joined.
  if (WaitForSingleObject(t.ended, kThreadEndWaitMs) != WAIT_OBJECT_0) {
    ORV_LOG(orvlog::kDebug, name << " did not end within " << kThreadEndWaitMs
                                 << " ms; waiting for the remote call it is in");
    if (WaitForSingleObject(t.ended, CSettings::ServerTimeout + kThreadEndWaitMs) != WAIT_OBJECT_0) {
      ORV_LOG(orvlog::kError, "ERROR: " << name << " did not end after its remote call's time-out");
    }
  }
  t.thread.join();
  CloseHandle(t.ended);
  t.ended = nullptr;
  t.started = false;
}

bool CDataHolder::_StopRequested() {
  return IsStopRequested() || WaitForSingleObject(m_stop, 0) == WAIT_OBJECT_0;
}

bool CDataHolder::_WaitForStop(bool futures, DWORD ms) {
  const HANDLE events[3] = {StopEvent(), m_stop, _Side(futures).wake};
  const DWORD result = WaitForMultipleObjects(3, events, FALSE, ms);
  return result == WAIT_OBJECT_0 || result == WAIT_OBJECT_0 + 1;
}

CDataHolder::PullResult CDataHolder::_Pull(bool futures, Orv::ZmDataManager_ptr server, CORBA::Any_var& reply) {
  // Polled, so that a stop, or a call thread finding the service gone, is
  // seen within a slice while the service holds the call.
  Orv::AMI_ZmDataManagerPoller_var poller = server->sendp_pull(static_cast<CORBA::Long>(CSettings::PullTimeout));
  while (!poller->is_ready(kPollSliceMs)) {
    if (_StopRequested()) return PullResult::kStop;
    if (_Side(futures).lost) return PullResult::kLost;
  }
  poller->pull(0, reply.out());
  return PullResult::kReply;
}

void CDataHolder::_PullLoop(bool futures) {
  const PullTexts& texts = futures ? kFuturesTexts : kEquityTexts;
  const std::string user = orvlog::Printable(Narrow(m_userName));
  ORV_LOG(orvlog::kDebug, texts.started << user);
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);

  // The thread's own reference, taken again whenever a rebuild (or a new
  // sign-in of the side) has put another manager in place.
  Orv::ZmDataManager_var server;
  unsigned long generation = 0;
  bool first = true;
  while (!_StopRequested()) {
    if (_Side(futures).lost) {
      if (!_RebuildLoop(futures)) break;
    }
    _SignOffReplaced(futures);
    _RenewCacheIfBroken(futures);
    bool lostNow = false;
    try {
      const unsigned long current = _Generation(futures);
      if (first || current != generation) {
        server = PullReference(_Server(futures));
        generation = current;
        first = false;
      }
      if (CORBA::is_nil(server)) {
        ORV_LOG(orvlog::kDebug, texts.empty);
      } else {
        ORV_LOG(orvlog::kDebug, texts.send);
        CORBA::Any_var reply;
        const PullResult result = _Pull(futures, server.in(), reply);
        if (result == PullResult::kStop) break;
        if (result == PullResult::kLost) continue;
        ORV_LOG(orvlog::kDebug, texts.received);
        const orvidl::ReplyOctets octets = orvidl::ReplyData(reply.operator->());
        if (octets.empty()) {
          ORV_LOG(orvlog::kDebug, texts.empty);
        } else {
          ORV_LOG(orvlog::kDebug, "Message size " << octets.size);
          CMessageBuffer unpacked;
          const uint8_t* message = octets.data;
          size_t length = octets.size;
          if (CSettings::UseCompression != 0) {
            unpacked = DecompressMessage(octets.data, octets.size);
            message = unpacked.data();
            length = unpacked.size();
          }
          ORV_LOG(orvlog::kDebug, "Update local cache started");
          if (message != nullptr) _UpdateLocalStorage(message, length, false);
          ORV_LOG(orvlog::kDebug, "Update local cache completed");
          DumpMemoryStatus();
        }
      }
    } catch (const _com_error& e) {
      ORV_LOG(orvlog::kDebug, "Exception: " << __FILE__ << ":" << __LINE__);
      const _bstr_t description = e.Description();
      const char* d = static_cast<const char*>(description);
      ORV_LOGF(orvlog::kError, "ERROR: CDataHolder::%s Code = %08lx\n\tCode meaning = %s\n\tDescription = %s\n",
               texts.method, static_cast<unsigned long>(static_cast<uint32_t>(e.Error())), e.ErrorMessage(),
               d != nullptr ? d : "");
    } catch (const CORBA::SystemException& e) {
      const orvidl::CorbaExceptionInfo info = orvidl::DescribeException(e);
      ORV_LOG(orvlog::kDebug, "Exception: " << __FILE__ << ":" << __LINE__);
      ORV_LOGF(orvlog::kError, "ERROR: Caught a CORBA::SystemException : %s CODE %s in CDataHolder::%s()",
               info.name.c_str(), info.repoId.c_str(), texts.method);
      NoteRefusedReply(e, texts.method);
      if (IsServiceLost(e)) {
        NoteServiceLost(futures);
        lostNow = true;
      }
    } catch (const CORBA::Exception& e) {
      const orvidl::CorbaExceptionInfo info = orvidl::DescribeException(e);
      ORV_LOG(orvlog::kDebug, "Exception: " << __FILE__ << ":" << __LINE__);
      ORV_LOGF(orvlog::kError, "ERROR: Caught CORBA::Exception : %s CODE %s in CDataHolder::%s()", info.name.c_str(),
               info.repoId.c_str(), texts.method);
    } catch (const omniORB::fatalException& e) {
      ORV_LOG(orvlog::kDebug, "Exception: " << __FILE__ << ":" << __LINE__);
      ORV_LOGF(orvlog::kError, "ERROR: Caught omniORB::fatalException: %s in CDataHolder::%s()",
               e.errmsg() != nullptr ? e.errmsg() : "", texts.method);
    } catch (...) {
      ORV_LOG(orvlog::kDebug, "Exception: " << __FILE__ << ":" << __LINE__);
      ORV_LOGF(orvlog::kError, "ERROR: CDataHolder::%s() Unknown exception", texts.method);
    }
    // The rebuild's first try comes at once; it has pauses of its own.
    if (lostNow) continue;
    // After a failure too: a service that is down would otherwise be asked
    // again at once, over and over, rolling the log away.
    if (_WaitForStop(futures, kCyclePauseMs)) break;
  }

  ORV_LOG(orvlog::kTrace, texts.completed << user);
  CoUninitialize();
  server = Orv::ZmDataManager::_nil();
}

const uint8_t* CDataHolder::_SkipBlock(const BlockHeader& header, const uint8_t* body, const uint8_t* end) {
  // A block's length is known only to the reader of its type: it can be
  // stepped over only when every one of its field ids is known.
  const BlockReaderDef* def = ReaderFor(header.type, static_cast<int>(CSettings::ProtocolVersion));
  const uint8_t* next = nullptr;
  if (def != nullptr) next = ReadBlock(*def, body, end, header.blocks_amount, header.fields_amount, nullptr);
  if (next == nullptr) {
    ORV_LOG(orvlog::kError, "ERROR: CDataHolder::_UpdateLocalStorage cannot step over a block of type "
                                << static_cast<int>(header.type) << "; the rest of the message is dropped");
  }
  return next;
}

void CDataHolder::_UpdateLocalStorage(const uint8_t* message, size_t length, bool flag) {
  // One list for the whole message: the quote blocks of one message add to
  // it and each sends the events of every symbol in it.
  std::vector<std::string> changed;
  WalkMessage(message, length,
              [&](const BlockHeader& header, const uint8_t* body, const uint8_t* end) -> const uint8_t* {
                const int kind = KindOfMessageType(header.type);
                CLiteDB* table = nullptr;
                if (kind < 0) {
                  ORV_LOG(orvlog::kError,
                          "ERROR: CDataHolder::_UpdateLocalStorage unknown type " << static_cast<int>(header.type));
                } else {
                  table = FindStorage(kind);
                }
                if (table == nullptr) return _SkipBlock(header, body, end);
                if (header.type == T_EQUITY_QUOTE) {
                  if (CStocksDB* stocks = dynamic_cast<CStocksDB*>(table)) {
                    return stocks->UpdateData(body, end, header.type, header.blocks_amount, header.fields_amount,
                                              flag, changed);
                  }
                }
                if (header.type == T_FUTURE_QUOTE) {
                  if (CFuturesDB* futures = dynamic_cast<CFuturesDB*>(table)) {
                    return futures->UpdateData(body, end, header.type, header.blocks_amount, header.fields_amount,
                                               flag, changed);
                  }
                }
                return table->UpdateData(body, end, header.type, header.blocks_amount, header.fields_amount, flag);
              });
}

void CDataHolder::ApplyServerData(const CORBA::Any* reply) {
  const orvidl::ReplyOctets octets = orvidl::ReplyData(reply);
  if (octets.empty()) return;
  ORV_LOG(orvlog::kDebug, "Message size " << octets.size);
  if (CSettings::UseCompression == 0) {
    _UpdateLocalStorage(octets.data, octets.size, false);
    return;
  }
  const CMessageBuffer unpacked = DecompressMessage(octets.data, octets.size);
  if (unpacked.data() != nullptr) _UpdateLocalStorage(unpacked.data(), unpacked.size(), false);
}
