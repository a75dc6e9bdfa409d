// Hands the SSL files of the settings to the ORB's SSL transport.
//
// Kept apart from CSettings so that only the program that reaches an SSL
// endpoint links the transport.
#pragma once

// Run after CSettings::ApplyStartupCorrections and before the ORB starts.
// When UseSSL is still on, the root certificate file, the key file and its
// pass phrase become the SSL context's certificate authority file, key file
// and key file pass phrase, and the answer is true. When it is off the
// context is left untouched: the ORB refuses to start at all over a context
// that names missing files, plain endpoints included.
bool ConfigureSslContext();
