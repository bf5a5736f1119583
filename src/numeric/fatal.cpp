#include "numeric/fatal.hpp"

namespace chainmelt {

void vornerror(const std::string& message) { throw FatalError(message); }

void ReportFatal(std::FILE* stream, const std::string& message) {
  std::fprintf(stream, "Vorn run-time error...\n");
  std::fprintf(stream, "%s\n", message.c_str());
  std::fprintf(stream, "...now exiting to system...\n");
  std::fflush(stream);
}

}  // namespace chainmelt
