// Localised status messages for the scheduler. libcups exports these two
// functions but keeps their declarations out of its public headers.
#pragma once

#include <cstdio>

extern "C" {
int _cupsLangPrintFilter(FILE* fp, const char* prefix, const char* message, ...);
int _cupsLangPrintError(const char* prefix, const char* message);
}
