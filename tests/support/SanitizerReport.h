// Child processes built with the sanitizers (make test-sanitize) write their
// reports to standard error and abort; the tests look for the report too, so
// that the failure shows what was found, not only an odd exit status.
#pragma once

#include <string>

// The sanitizer report in a process's standard error (or a log that holds
// it), from its first line on; empty when there is none.
std::string SanitizerReport(const std::string& text);

// Fails the current test, naming `what`, when text holds a report.
void ExpectNoSanitizerReport(const std::string& text, const std::string& what);
