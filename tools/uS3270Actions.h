// The actions of the s3270 protocol as data: one row per action with its
// name (compared without regard to case), the argument forms it takes,
// its handler and a line of help. The session looks actions up here;
// Query(Actions) lists them from the same table.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

class TS3270Session;
struct TS3270Reply;

using TS3270Handler = void (*)(TS3270Session& session, const std::vector<std::string>& args, TS3270Reply& reply);

struct TS3270Action {
    std::string_view name;
    std::string_view forms;  // "(row,col) | (offset)": the argument forms, for the help
    TS3270Handler handler;
    std::string_view help;
};

std::span<const TS3270Action> S3270Actions();
// The action of that name in any case; null when there is none.
const TS3270Action* FindS3270Action(std::string_view name);
