// The ORB of a test program that calls orvsim's services itself, started
// once on first use, and the objects it resolves from their addresses.
#pragma once

#include <string>

#include <omniORB4/CORBA.h>

namespace orvtest {

inline CORBA::ORB_ptr Orb() {
  static CORBA::ORB_var orb = [] {
    const char* argv[] = {"test", "-ORBclientCallTimeOutPeriod", "30000"};
    int argc = 3;
    return CORBA::ORB_init(argc, const_cast<char**>(argv));
  }();
  return orb;
}

template <class T>
typename T::_ptr_type Resolve(const std::string& url) {
  CORBA::Object_var o = Orb()->string_to_object(url.c_str());
  return T::_narrow(o);
}

}  // namespace orvtest
