// Reads the SSL files of the settings the way the ORB's SSL transport will,
// so that a file it would refuse is found before the ORB starts: the ORB
// refuses to start at all over one, plain endpoints included.
#pragma once

#include <string>

// Empty when the file holds at least one PEM certificate that can serve as
// a certificate authority; else why not.
std::string CertificateAuthorityFileProblem(const std::string& path);

// Empty when the file holds a PEM certificate chain and the private key
// that matches it, the key opened with `passPhrase` when it is encrypted;
// else why not.
std::string KeyFileProblem(const std::string& path, const std::string& passPhrase);
