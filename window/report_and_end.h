#pragma once

#include <QString>
#include <exception>

// What went wrong, in words for a report: the message of a standard exception, else "unknown
// error". `err` must not be null.
QString DescribeError(std::exception_ptr err);

// Ends the program on an error it has no answer for: writes `strWhat` to the error output, shows it
// in a message box and, once that is closed, ends the process with status 1 without tidying up.
// A handler that failed part-way would leave the window in a half state, so it is not trusted to
// go on. Call it from the window's thread, inside a handler: exceptions must not escape a handler
// into Qt's event dispatch, which cannot carry them.
[[noreturn]] void ReportAndEnd(const QString& strWhat);
