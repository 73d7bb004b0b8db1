// Reader of Windows-style profile files: "[Section]" headers followed by
// "key=value" lines. Used for "Telnet.ini" and the translation table file.
//
// Section and key names match without regard to ASCII case. A missing file,
// section or key yields the caller's default; an integer key whose value is
// not a number yields the default (one sign at most); a present but empty
// value is "", and one pair of enclosing double quotes is removed. Only a
// regular file is read (a FIFO or device gives an empty profile). Lines
// may end in CR LF or LF. Lines starting with ';' or '#' are comments.
// The file is read once, in the constructor, and never written.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>

class TIniFile {
public:
    // Reads the file at path; an unreadable or missing file gives an empty profile.
    explicit TIniFile(const std::string& path);

    // Parses profile text held in memory (tests, fuzzing).
    static TIniFile FromText(std::string_view text);

    std::string ReadString(std::string_view section, std::string_view key,
                           const std::string& defaultValue) const;
    std::int32_t ReadInteger(std::string_view section, std::string_view key,
                             std::int32_t defaultValue) const;
    bool SectionExists(std::string_view section) const;
    bool ValueExists(std::string_view section, std::string_view key) const;

    const std::string& FileName() const { return fileName_; }

    // Upper bound on the bytes read from one file: a profile is a few KiB;
    // anything larger than this is not a profile, and reading stops there.
    static constexpr std::size_t kMaxFileBytes = 1 << 20;

private:
    TIniFile() = default;
    void Parse(std::string_view text);
    const std::string* Find(std::string_view section, std::string_view key) const;

    std::string fileName_;
    // Keys are "SECTION\nKEY" in upper case; the first occurrence wins.
    std::map<std::string, std::string> values_;
    std::map<std::string, bool> sections_;
};

// True when a regular file (or a link to one) exists at path.
bool FileExists(const std::string& path);
