// The command line of `tn3270 --s3270` (and of the program started as
// `s3270`): the options automation passes to s3270, with s3270's spelling
// (one dash), parsed without I/O. Resources set with -xrm or -set that
// this mode does not use are collected for one note on standard error.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

// A script port client gets the whole session; a second one waits.
inline constexpr std::int32_t kS3270DefaultPort = 23;
// Model 4 is what s3270 emulates when no model is named.
inline constexpr int kS3270DefaultModel = 4;
// Connect gives up after this long unless -connecttimeout says otherwise.
inline constexpr double kS3270DefaultConnectSeconds = 30.0;

struct TS3270Options {
    int model = kS3270DefaultModel;
    bool color = true;        // 3279 (the default) or 3278
    // The model as Set(model) answers it: as given, a bare number in full
    // ("4": "3279-4-E").
    std::string modelSetting = "3279-4-E";
    std::string oversize;     // "COLSxROWS" as given; empty: none
    std::string codePage = "bracket";
    std::int32_t port = kS3270DefaultPort;
    double connectTimeout = kS3270DefaultConnectSeconds;
    bool unlockDelay = true;  // accepted; the answers wait for the unlock either way
    std::string caFile, caDir, certFile, keyFile, acceptHostname, minVersion;
    bool verifyCert = true;
    bool trace = false;
    std::string traceFile;
    bool utf8 = false;
    // -scriptport [addr:]port: empty: standard input and output.
    std::string scriptPort;
    bool help = false;
    std::string host;  // [prefix:][LU@]host[:port]; empty: none
    // Resources and toggles accepted but not used, for one note.
    std::vector<std::string> ignored;
};

struct TS3270OptionsParse {
    TS3270Options options;
    std::string error;  // empty when the line is valid
};

TS3270OptionsParse ParseS3270Options(std::span<const std::string> args);

// The --help text, option by option as s3270 lists them (those we take).
std::string S3270UsageText(const std::string& program);

// A model as -model or Set(model) gives it: "2", "3279-4", "3278-2-E".
// Nothing for a model other than 2 to 5.
struct TS3270Model {
    int number;
    bool color;
};
std::optional<TS3270Model> ParseS3270Model(const std::string& text);
// The Set(model) answer for a model given as text (valid for the above).
std::string S3270ModelSetting(const std::string& text, const TS3270Model& model);
