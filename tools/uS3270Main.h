// The s3270 protocol mode as a program: `tn3270 --s3270 ARGS`, and the
// program started under the name s3270 (the link in libexec/tn3270).
#pragma once

#include <span>
#include <string>

// Parses s3270's options, connects to the host named on the command line
// (if any), and answers actions on standard input and output (or on the
// -scriptport) until Quit or end of input. Returns the exit code.
int RunS3270(const std::string& program, std::span<const std::string> args);
