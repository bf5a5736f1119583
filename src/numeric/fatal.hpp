// Fatal numerical conditions.
//
// Every routine of the numerical toolkit that cannot continue (allocation
// failure, too many iterations, singular matrix, exhausted evaluation budget)
// raises FatalError with its message.  The program entry catches it, makes
// sure every record written so far has reached the files, prints the three
// diagnostic lines and ends with exit status 1.
#pragma once

#include <cstdio>
#include <stdexcept>
#include <string>

namespace chainmelt {

class FatalError : public std::runtime_error {
 public:
  explicit FatalError(const std::string& message) : std::runtime_error(message) {}
};

// Raises FatalError(message).  Never returns.
[[noreturn]] void vornerror(const std::string& message);

// Writes the three lines that report a fatal error to `stream`:
// "Vorn run-time error...", the message, "...now exiting to system...".
void ReportFatal(std::FILE* stream, const std::string& message);

}  // namespace chainmelt
