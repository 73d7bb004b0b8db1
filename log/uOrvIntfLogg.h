// The module's log facade: the only way the package writes diagnostics.
//
// MsgLog writes one timestamped line to the daily message log ("SYS");
// DumpLog and SnaDump write one framed hex dump to the daily dump log ("DMP"),
// with the text column as the bytes are (DumpLog) or translated from EBCDIC
// (SnaDump). With logging off all three return at once and create no file.
// They never report errors and are safe to call from any thread, also while
// another thread switches logging with SetLogging or SetLoggingDir.
//
// Levels: 1 errors, 2 connection set-up, 4 component events and record kinds,
// 5 host field detail, 6 every data dump.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// Switches logging on at level (> 0), or off (<= 0; gLogLevel keeps its value).
void SetLogging(std::int32_t level);
// Stores the directory in gLogDir and restarts logging with gLogLevel.
void SetLoggingDir(const std::string& directory);

void MsgLog(std::uint16_t level, std::string_view text);
// data may be null when length is 0. The title is written in full.
void DumpLog(std::uint16_t level, std::string_view title, const void* data, std::size_t length);
void SnaDump(std::uint16_t level, std::string_view title, const void* data, std::size_t length);

// True when a line of this level would be written now; lets callers skip
// building a costly text (a dump title, a field line) that nobody will read.
bool LogEnabled(std::uint16_t level);
