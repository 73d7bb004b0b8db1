// A small script language for data stream tests: lines push records into a
// TOrvTn3270stream and expect what the screen holds and what is sent back.
//
//   mode e | mode p           TN3270E (extended) or plain records from now on
//   push HEX...               one record; no error expected
//   fail "TEXT" HEX...        one record; EStreamError with exactly TEXT expected
//   key XX                    attention key: Aid := XX, then readModifiedCommand
//   put P N "TEXT"            the application's edit: putField(P, N, TEXT)
//   type "TEXT" ["ERROR"]     the typing engine at the cursor; ERROR: the refusal
//                             message expected (none: every character typed)
//   move P                    the cursor to position P (as the operator moves it)
//   bindimage 0|1             whether the BIND-IMAGE function was agreed
//   sent HEX...               the next block handed to OnWriteData, byte for byte
//   none                      nothing more was sent
//   row N "TEXT"              row N (1-based) of 80: '.' null, '|' field attribute,
//                             trailing nulls not written
//   at P "TEXT"               characters from position P
//   attr P XX | eab P XX | fa P XX   Attrs, ExtAttrs, getFA at position P
//   cursor P | aid XX | reply XX     CursorPosition, Aid, ReplyDataType
//   status "TEXT" | dstatus "TEXT"   the stream's and the screen buffer's status
//   state None|SscpLu|LuLu    SessionState;  notes N: ceSessionState raised N times
//   count C N                 N screen positions hold C ('.' null, '|' marker)
//   size R C                  the size in use is R rows of C columns
//   updated 0|1               Display.Updated (reset to 0 after the check)
//
// HEX is a list of bytes; "XX*N" stands for N copies of XX. Text after '#'
// is a comment. Every block sent must be expected by a "sent" line.
#pragma once

#include "stream/uOrvTn3270stream.h"

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

using Bytes = std::vector<std::uint8_t>;

// Parses "F5 C3 11 40*3"; fails the test on a malformed token.
Bytes Hex(std::string_view text);

// '.' null, '|' field attribute marker, otherwise the character.
std::string ScreenText(const TOrvTn3270display& d, int from, int count);

class StreamHarness {
public:
    explicit StreamHarness(std::int32_t rows = 24, std::int32_t cols = 80);

    // Runs a script; each failing line is reported with its number and text.
    void Run(std::string_view script);
    // One record through AddBuffer (in pieces of at most chunk bytes) and
    // ProcessData, or whole through ProcessRecord (chunk SIZE_MAX); returns
    // the error text, or "" when none was raised.
    std::string Feed(const Bytes& record, std::size_t chunk = SIZE_MAX);
    void ExpectNothingPending();
    // One expectation of the list above (row ... updated) with its
    // arguments: nullopt when cmd is not one, "" when it holds, else what
    // was found instead. Also used by the stream transcripts.
    std::optional<std::string> Expect(const std::string& cmd, std::string_view args);

    TOrvTn3270stream stream;
    std::deque<Bytes> sent;
    int stateNotes = 0;
};
