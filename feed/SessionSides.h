// What the session's recovery paths (the rebuild after a lost service, the
// renewal of a broken cache) share about its two sides and their failures.
#pragma once

#include <omniORB4/CORBA.h>

#include <exception>
#include <string>
#include <vector>

#include "OrvPayload.h"
#include "platform/com/comdef.h"

namespace orvsession {

// Every kind a side's tables hold keys of.
inline std::vector<int> KindsOfSide(bool futures) {
  if (futures) return {enFutureData, enFutureOptionData, enFutIVIndexData, enFutIVSurfaceData};
  return {enStockData, enOptionData, enIVIndexData, enIVSurfaceData, enStockData_Direct, enOptionData_Direct,
          enNstdOptionData};
}

// The failure in flight as one text for the log; call inside a catch.
inline std::string FailureInFlight() {
  try {
    throw;
  } catch (const _com_error& e) {
    const _bstr_t d = e.Description();
    const char* text = static_cast<const char*>(d);
    return text != nullptr && *text ? text : e.ErrorMessage();
  } catch (const CORBA::Exception& e) {
    return orvidl::DescribeException(e).Text();
  } catch (const omniORB::fatalException& e) {
    return std::string("omniORB::fatalException: ") + (e.errmsg() != nullptr ? e.errmsg() : "");
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "unknown error";
  }
}

}  // namespace orvsession
