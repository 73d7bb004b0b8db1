// Command line of the tn3270 program: what a user types, and every way it
// can be wrong.
#include "tools/uTn3270Cli.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TCliParse Parse(std::vector<std::string> args)
{
    return ParseCommandLine(args);
}

TEST(Tn3270Cli, DefaultsStartTheDemoHost)
{
    const TCliParse p = Parse({});
    ASSERT_EQ(p.error, "");
    EXPECT_EQ(p.options.host, "");
    EXPECT_EQ(p.options.port, 23);
    EXPECT_TRUE(p.options.extended);
    EXPECT_EQ(p.options.terminalType, TTn3270TerminalType::tt3278m2E);
    EXPECT_FALSE(p.options.logLevel.has_value());
    EXPECT_DOUBLE_EQ(p.options.timeoutSeconds, kDefaultWaitSeconds);
    EXPECT_EQ(p.options.readPauseMs, 0);
    EXPECT_FALSE(p.options.script);
}

TEST(Tn3270Cli, EveryOptionInBothSpellings)
{
    for (const bool inlineForm : {false, true}) {
        auto opt = [&](std::vector<std::string>& v, const std::string& name, const std::string& value) {
            if (inlineForm) {
                v.push_back(name + "=" + value);
            } else {
                v.push_back(name);
                v.push_back(value);
            }
        };
        std::vector<std::string> args;
        opt(args, "--device", "LU0042");
        opt(args, "--terminal-type", "ibm-3278-2");
        opt(args, "--log-level", "6");
        opt(args, "--log-dir", "/tmp/logs");
        opt(args, "--table", "table.ini");
        opt(args, "--timeout", "2.5");
        opt(args, "--read-pause", "5");
        opt(args, "--model", "3279-4-E");
        opt(args, "--oversize", "100x50");
        args.insert(args.end(), {"--no-tn3270e", "--script", "--demo-plain", "host.example:2323"});
        const TCliParse p = Parse(args);
        ASSERT_EQ(p.error, "") << inlineForm;
        EXPECT_EQ(p.options.device, "LU0042");
        EXPECT_EQ(p.options.terminalType, TTn3270TerminalType::tt3278m2);
        EXPECT_EQ(p.options.logLevel, 6);
        EXPECT_EQ(p.options.logDir, "/tmp/logs");
        EXPECT_EQ(p.options.table, "table.ini");
        EXPECT_DOUBLE_EQ(p.options.timeoutSeconds, 2.5);
        EXPECT_EQ(p.options.readPauseMs, 5);
        EXPECT_FALSE(p.options.extended);
        EXPECT_EQ(p.options.model, "3279-4-E");
        EXPECT_EQ(p.options.modelNumber, 4);
        EXPECT_EQ(p.options.oversize, (TScreenSize{50, 100}));
        EXPECT_TRUE(p.options.script);
        EXPECT_TRUE(p.options.demoPlain);
        EXPECT_EQ(p.options.host, "host.example");
        EXPECT_EQ(p.options.port, 2323);
    }
}

TEST(Tn3270Cli, PortOptionOverridesTheHostsPortWhereverItStands)
{
    EXPECT_EQ(Parse({"--port", "992", "h:23"}).options.port, 992);
    EXPECT_EQ(Parse({"h:23", "--port=992"}).options.port, 992);
    // The last of --tn3270e / --no-tn3270e wins.
    EXPECT_TRUE(Parse({"--no-tn3270e", "--tn3270e"}).options.extended);
    // "--" ends the options: a host may then start with '-'.
    EXPECT_EQ(Parse({"--", "-odd-host"}).options.host, "-odd-host");
}

TEST(Tn3270Cli, TlsOptions)
{
    const TCliParse none = Parse({"h"});
    EXPECT_FALSE(none.options.tls.has_value());
    EXPECT_FALSE(none.options.insecure);

    // Direct TLS: the usual port 992 unless one is named, wherever it stands.
    const TCliParse direct = Parse({"--tls", "--cafile", "/ca.pem", "--cert=/me.pem", "--key", "/me.key", "h"});
    ASSERT_EQ(direct.error, "");
    EXPECT_EQ(direct.options.tls, TTlsMode::tmDirect);
    EXPECT_EQ(direct.options.port, kDefaultTlsPort);
    EXPECT_EQ(direct.options.caFile, "/ca.pem");
    EXPECT_EQ(direct.options.certFile, "/me.pem");
    EXPECT_EQ(direct.options.keyFile, "/me.key");
    EXPECT_EQ(Parse({"h:2992", "--tls"}).options.port, 2992);
    EXPECT_EQ(Parse({"--tls", "--port", "2992", "h"}).options.port, 2992);

    // START_TLS stays on the telnet port.
    const TCliParse upgrade = Parse({"--starttls", "--insecure", "h"});
    ASSERT_EQ(upgrade.error, "");
    EXPECT_EQ(upgrade.options.tls, TTlsMode::tmStartTls);
    EXPECT_EQ(upgrade.options.port, kDefaultTelnetPort);
    EXPECT_TRUE(upgrade.options.insecure);
}

TEST(Tn3270Cli, HostForms)
{
    struct Case {
        const char* text;
        const char* host;
        int port;  // 0: none given
    };
    const Case cases[] = {
        {"mainframe", "mainframe", 0},   {"mainframe:2323", "mainframe", 2323}, {"10.1.2.3:23", "10.1.2.3", 23},
        {"[::1]:3270", "::1", 3270},     {"[fe80::1]", "fe80::1", 0},          {"::1", "::1", 0},
        {"2001:db8::7", "2001:db8::7", 0},
    };
    for (const auto& c : cases) {
        std::string error;
        const auto hp = ParseHostPort(c.text, error);
        ASSERT_TRUE(hp) << c.text << ": " << error;
        EXPECT_EQ(hp->host, c.host) << c.text;
        EXPECT_EQ(hp->port.value_or(0), c.port) << c.text;
    }
}

TEST(Tn3270Cli, ErrorsNameTheProblem)
{
    struct Case {
        std::vector<std::string> args;
        const char* message;  // a part of the error
    };
    const Case cases[] = {
        {{"--bogus"}, "unknown option --bogus"},
        {{"--port"}, "--port needs a value"},
        {{"--port", "0"}, "--port must be a number from 1 to 65535"},
        {{"--port", "65536"}, "--port must be"},
        {{"--port", "23x"}, "--port must be"},
        {{"host:"}, "port must be a number"},
        {{"host:99999"}, "port must be a number"},
        {{":23"}, "no host name"},
        {{"[::1"}, "missing ']'"},
        {{"[::1]x"}, "unexpected text after ']'"},
        {{"a", "b"}, "only one host"},
        {{"--terminal-type", "IBM-3279-5"}, "--terminal-type must be"},
        {{"--model", "6"}, "--model must be 2, 3, 4 or 5"},
        {{"--model", "3270-4"}, "--model must be"},
        {{"--model", "3279-4-X"}, "--model must be"},
        {{"--oversize", "80"}, "--oversize must be COLSxROWS"},
        {{"--oversize", "256x10"}, "--oversize must be COLSxROWS"},
        {{"--oversize", "80x20"}, "at least the model's size (80x24)"},
        {{"--model", "5", "--oversize", "100x43"}, "at least the model's size (132x27)"},
        {{"--oversize", "200x100"}, "at most 16383 positions"},
        {{"--log-level", "10"}, "--log-level must be a number from 0 to 9"},
        {{"--log-level", "-1"}, "--log-level must be"},
        {{"--timeout", "0"}, "--timeout must be"},
        {{"--timeout", "nan"}, "--timeout must be"},
        {{"--timeout", "1e3"}, "--timeout must be"},
        {{"--timeout", "86401"}, "--timeout must be"},
        {{"--read-pause", "-1"}, "--read-pause must be a number of milliseconds from 0 to 1000"},
        {{"--read-pause", "1001"}, "--read-pause must be"},
        {{"--read-pause", "5ms"}, "--read-pause must be"},
        {{"--script=yes"}, "--script takes no value"},
        {{"--device="}, "--device needs a name"},
        {{"--table", ""}, "--table needs a file name"},
        {{"--tls", "--starttls"}, "choose one of --tls and --starttls"},
        {{"--tls=yes"}, "--tls takes no value"},
        {{"--insecure=1"}, "--insecure takes no value"},
        {{"--cafile"}, "--cafile needs a value"},
        {{"--cert="}, "--cert needs a file name"},
    };
    for (const auto& c : cases) {
        const TCliParse p = ParseCommandLine(c.args);
        EXPECT_NE(p.error.find(c.message), std::string::npos) << c.args[0] << " -> " << p.error;
    }
}

TEST(Tn3270Cli, UsageNamesEveryOptionAndCommand)
{
    const std::string usage = UsageText("tn3270");
    for (const char* word : {"--port", "--device", "--terminal-type", "--tn3270e", "--no-tn3270e", "--log-level",
                             "--log-dir", "--table", "--timeout", "--script", "--demo-plain", "--help", "--tls",
                             "--starttls", "--cafile", "--cert", "--key", "--insecure", "--model", "--oversize", "wait text", "set FIELD",
                             "type \"TEXT\"", "cursor ROW COL", "key enter", "status", "fields", "screen"})
        EXPECT_NE(usage.find(word), std::string::npos) << word;
    EXPECT_TRUE(Parse({"--help"}).options.help);
}

}  // namespace
