// The SQL statement templates of the cache tables, kept as string resources
// of the program's own module and loaded by number.
#pragma once

#include <string>

#include "platform/win/windows.h"

// Registers the templates in the program's own module (once; later calls do
// nothing). LoadSqlTemplate does it on first use.
void RegisterSqlTemplates();

// The template's text with the table name in place of the first "%s" and the
// column, when given, in place of the second. Sized to the result, so no
// table name can overrun it. Throws CSqliteException (1000) for an id that
// has no template.
std::string LoadSqlTemplate(UINT id, const std::string& table, const std::string& column = std::string());

// The raw resource text, as loaded.
std::string LoadSqlTemplateText(UINT id);
