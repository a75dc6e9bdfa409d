// The user name as the name of the session's database file.
#pragma once

#include <string>

// Every code unit outside [A-Za-z0-9._@-], and a leading ".", becomes "%XX"
// (below 0x100) or "%uXXXX", so that no name can reach another folder or
// hide its file, two names never share one file, and ordinary names keep
// their plain file name. The name ends in ".db", which no other file of the
// folder does (the ini, the log and its backups, the databases' journals),
// so a user name cannot name one of them. A name too long for the file
// system keeps its start and ends in "~" and a digest of the whole user
// name ("~" is escaped everywhere else). Empty for an empty user name,
// which has no file.
std::string UserFileName(const std::u16string& userName);
