// Placeholder: logging is off until the log files unit lands.
#include "log/uOrvIntfLogg.h"

void SetLogging(std::int32_t) {}
void SetLoggingDir(const std::string&) {}
void MsgLog(std::uint16_t, std::string_view) {}
void DumpLog(std::uint16_t, std::string_view, const void*, std::size_t) {}
void SnaDump(std::uint16_t, std::string_view, const void*, std::size_t) {}
bool LogEnabled(std::uint16_t) { return false; }
