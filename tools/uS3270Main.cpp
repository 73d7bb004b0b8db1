// The s3270 protocol mode's main.
#include "tools/uS3270Main.h"

#include "tools/uS3270Session.h"

#include <clocale>
#include <iostream>

#include <unistd.h>

int RunS3270(const std::string& program, std::span<const std::string> args)
{
    const TS3270OptionsParse parse = ParseS3270Options(args);
    if (!parse.error.empty()) {
        std::cerr << program << ": " << parse.error << '\n' << S3270UsageText(program);
        return 1;
    }
    if (parse.options.help) {
        std::cerr << S3270UsageText(program);
        return 0;
    }
    std::setlocale(LC_CTYPE, "");
    try {
        TS3270Session session(parse.options, std::cerr);
        if (!parse.options.host.empty()) {
            TS3270Reply r;
            session.Connect(parse.options.host, r);
            if (r.error) {
                for (const auto& d : r.data)
                    std::cerr << program << ": " << d << '\n';
            }
        }
        if (!parse.options.scriptPort.empty())
            return session.ServeScriptPort(parse.options.scriptPort);
        return session.Serve(STDIN_FILENO, STDOUT_FILENO) ? 0 : 1;
    } catch (const std::exception& e) {
        std::cerr << program << ": " << e.what() << '\n';
        return 1;
    }
}
