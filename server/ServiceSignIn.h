// The CORBA side of signing in: the ORB, started once per process from the
// settings; the service's root object, resolved over an endpoint list; and
// the remote sign-in that yields a user's data manager.
#pragma once

#include <functional>
#include <string>

#include "feed/CSettings.h"
#include "zmdataservice410.hh"

// Starts the ORB with an initial reference for every endpoint of both
// lists and the client call time-out of ServerTimeout. The SSL context must
// have been configured before (ConfigureSslContext, at start-up). Returns the ORB (not duplicated: it lives
// until ShutdownCorba). A later call returns the same ORB; a start that
// failed leaves the ORB nil and is tried again by the next call. CORBA and
// omniORB exceptions are logged and passed on; others are logged and leave
// the ORB nil.
CORBA::ORB_ptr InitializeCorba(const std::string& programPath);

// The ORB if started, else nil.
CORBA::ORB_ptr CorbaOrb();

// Destroys the ORB, at program end.
void ShutdownCorba();

// The root object of the first entry that resolves and narrows. A system
// exception on the last entry passes to the caller; an empty list, or no
// ORB, gives nil.
Orv::ZmDataService_ptr ResolveDataService(const CSettings::InitRefList& endpoints);

// Asks the root for a data manager and signs the user in. A refused
// sign-in raises the automation error "Invalid user id or password". Once
// the service has accepted the user, signedIn runs (the main object stores
// the credentials there); then the compression mode and, for the equities
// service (protocolVersion set), the protocol version are set; their
// results are not used. The caller owns the returned manager. refused,
// when given, is set exactly when the service itself refused the
// credentials (any other failure leaves it false).
Orv::ZmDataManager_ptr SignInToService(Orv::ZmDataService_ptr root, const std::string& user,
                                       const std::string& password, bool sendProtocolVersion,
                                       const std::function<void()>& signedIn = {}, bool* refused = nullptr);
