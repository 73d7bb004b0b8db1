// Protocol transcripts: data files that say which bytes go in, which bytes
// must come out and which events must be raised, run by one runner for the
// telnet engine, the telnet component, the data stream and the 3270
// component alike. The runner plays a transcript once as written, once with
// every PUSH line handed over one byte at a time, then once more for every
// byte position of every PUSH line, with that line's bytes handed over in two
// pieces split there, and expects every line to hold each time (a command
// split across two reads is still one command).
//
// Lines (leading blanks are ignored):
//   ! text                  a comment; so is an empty line
//   PUSH bytes              bytes in: one received block (the split runs hand
//                           it over in two pieces)
//   send bytes              every byte sent since the previous "send" line,
//                           exactly; "send" alone: nothing was sent
//   ?event NAME...          the events raised since the previous "?event"
//                           line, in order; "?event" alone: none. A name with
//                           blanks is quoted.
//   ?KEY args               an expectation the target understands
//   WORD args               an action the target understands (SET, WRITE ...)
// bytes: hex bytes ("FF FD 28"), "XX*N" for N copies, "text" for the text's
// own bytes. At the end every byte sent and every event must have been
// expected. Keep one screen-changing record per PUSH line when events are
// checked: a block raises its screen change once, a split block twice.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tntest {

using Bytes = std::vector<std::uint8_t>;

// Parses transcript bytes (see above); adds a test failure on a bad token.
Bytes ParseBytes(std::string_view text);
// "FF FD 28".
std::string HexText(std::span<const std::uint8_t> bytes);
// The words of an argument list; "quoted text" is one word without its quotes.
std::vector<std::string> Words(std::string_view text);
// For a "?KEY bytes" check of a target's list: compares the oldest item
// not checked yet (counted in `checked`) with want; "" when it holds.
std::string CheckNext(const std::vector<Bytes>& all, std::size_t& checked, const Bytes& want, const char* what);

// What a transcript drives.
class TTranscriptTarget {
public:
    virtual ~TTranscriptTarget() = default;
    // One PUSH line's bytes, in one or two pieces.
    virtual void Push(const std::vector<std::span<const std::uint8_t>>& pieces) = 0;
    // The bytes sent since the last call.
    virtual Bytes TakeSent() = 0;
    // The events raised since the last call.
    virtual std::vector<std::string> TakeEvents() = 0;
    // An action line; false when the word is not known.
    virtual bool Act(const std::string& word, std::string_view args) = 0;
    // A "?KEY args" line: nullopt when the key is not known, "" when the
    // expectation holds, else what was found instead.
    virtual std::optional<std::string> Check(const std::string& key, std::string_view args) = 0;
    // Run after the last line: what else must be empty ("" when all is).
    virtual std::string Leftovers() { return {}; }
};

using TTargetFactory = std::function<std::unique_ptr<TTranscriptTarget>()>;

// One transcript file, a test parameter.
struct TTranscriptFile {
    std::string name;  // file name without extension, usable as a test name
    std::string path;
};
inline std::ostream& operator<<(std::ostream& out, const TTranscriptFile& f) { return out << f.name; }

// The *.tr files of a directory, sorted by name.
std::vector<TTranscriptFile> ListTranscripts(const std::string& dir);
// For INSTANTIATE_TEST_SUITE_P: the file's name.
struct TTranscriptName {
    template <class Info>
    std::string operator()(const Info& info) const
    {
        return info.param.name;
    }
};

// Plays the transcript as written and split at every byte of every PUSH line.
void RunTranscript(std::string_view text, const TTargetFactory& make);
void RunTranscriptFile(const std::string& path, const TTargetFactory& make);

} // namespace tntest
