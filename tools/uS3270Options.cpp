// The command line of the s3270 protocol mode.
#include "tools/uS3270Options.h"

#include "tools/uS3270Parser.h"

#include <algorithm>
#include <cctype>

namespace {

std::string Lower(std::string s)
{
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

std::string Trim(const std::string& s)
{
    const auto b = s.find_first_not_of(" \t");
    if (b == std::string::npos)
        return {};
    return s.substr(b, s.find_last_not_of(" \t") - b + 1);
}

bool IsTrue(const std::string& v)
{
    const std::string l = Lower(Trim(v));
    return l == "true" || l == "on" || l == "yes" || l == "1";
}

// One resource, from -xrm "s3270.NAME: VALUE", "*NAME: VALUE" or -set NAME=VALUE.
std::string ApplyResource(TS3270Options& o, const std::string& name, const std::string& value)
{
    const std::string n = Lower(name);
    if (n == "model") {
        const auto m = ParseS3270Model(Trim(value));
        if (!m)
            return "invalid model: " + value;
        o.model = m->number;
        o.color = m->color;
        o.modelSetting = S3270ModelSetting(Trim(value), *m);
    } else if (n == "codepage") {
        o.codePage = Lower(Trim(value));
    } else if (n == "unlockdelay") {
        o.unlockDelay = IsTrue(value);
    } else if (n == "connecttimeout") {
        const auto s = S3270Seconds(Trim(value));
        if (!s || *s <= 0)
            return "invalid connectTimeout: " + value;
        o.connectTimeout = *s;
    } else if (n == "trace") {
        o.trace = IsTrue(value);
    } else if (n == "tracefile") {
        o.traceFile = Trim(value);
    } else if (n == "oversize") {
        o.oversize = Trim(value);
    } else if (n == "port") {
        o.port = static_cast<std::int32_t>(S3270Number(value));
    } else if (n == "utf8") {
        o.utf8 = IsTrue(value);
    } else if (n == "verifyhostcert") {
        o.verifyCert = IsTrue(value);
    } else {
        o.ignored.push_back(name);
    }
    return {};
}

}  // namespace

std::optional<TS3270Model> ParseS3270Model(const std::string& text)
{
    std::string t = Lower(text);
    TS3270Model m{0, true};
    if (t.rfind("3278-", 0) == 0 || t.rfind("3279-", 0) == 0) {
        m.color = t[3] == '9';
        t = t.substr(5);
    }
    if (t.size() >= 2 && t.substr(t.size() - 2) == "-e")
        t.resize(t.size() - 2);
    if (t.size() != 1 || t[0] < '2' || t[0] > '5')
        return std::nullopt;
    m.number = t[0] - '0';
    return m;
}

std::string S3270ModelSetting(const std::string& text, const TS3270Model& model)
{
    if (text.size() != 1)
        return text;
    return std::string(model.color ? "3279-" : "3278-") + text + "-E";
}

TS3270OptionsParse ParseS3270Options(std::span<const std::string> args)
{
    TS3270OptionsParse r;
    TS3270Options& o = r.options;
    auto fail = [&](std::string message) {
        r.error = std::move(message);
        return r;
    };
    // Options that take a value, and those that are only accepted.
    static constexpr const char* kValued[] = {
        "-model", "-oversize", "-codepage", "-xrm", "-set", "-clear", "-cafile", "-cadir", "-certfile",
        "-keyfile", "-accepthostname", "-minversion", "-connecttimeout", "-port", "-tracefile", "-scriptport",
        "-certfiletype", "-chainfile", "-keyfiletype", "-keypasswd", "-devname", "-hostsfile", "-httpd",
        "-proxy", "-tn", "-user", "-tracefilesize", "-alias", "-callback"};
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--help" || a == "-?" || a == "-help") {
            o.help = true;
            continue;
        }
        if (a == "-noverifycert") {
            o.verifyCert = false;
            continue;
        }
        if (a == "-trace") {
            o.trace = true;
            continue;
        }
        if (a == "-utf8") {
            o.utf8 = true;
            continue;
        }
        if (a == "-script" || a == "-socket" || a == "-scriptportonce" || a == "-nvt" || a == "-v") {
            if (a == "-nvt" || a == "-socket" || a == "-v")
                o.ignored.push_back(a);
            continue;
        }
        if (!a.empty() && a[0] == '-') {
            if (std::find_if(std::begin(kValued), std::end(kValued), [&](const char* v) { return a == v; }) ==
                std::end(kValued))
                return fail("Unknown or incomplete option: '" + a + "'");
            if (i + 1 >= args.size())
                return fail("Missing value for '" + a + "'");
            const std::string& v = args[++i];
            if (a == "-model") {
                const auto m = ParseS3270Model(v);
                if (!m)
                    return fail("Unknown model: '" + v + "'");
                o.model = m->number;
                o.color = m->color;
                o.modelSetting = S3270ModelSetting(v, *m);
            } else if (a == "-oversize") {
                o.oversize = v;
            } else if (a == "-codepage") {
                o.codePage = Lower(v);
            } else if (a == "-xrm") {
                // "s3270.NAME: VALUE" or "*NAME: VALUE".
                const auto colon = v.find(':');
                if (colon == std::string::npos)
                    return fail("-xrm: no ':' in '" + v + "'");
                std::string name = Trim(v.substr(0, colon));
                if (name.rfind("s3270.", 0) == 0)
                    name = name.substr(6);
                else if (!name.empty() && (name[0] == '*' || name[0] == '.'))
                    name = name.substr(1);
                else {
                    o.ignored.push_back(name);
                    continue;
                }
                if (auto e = ApplyResource(o, name, v.substr(colon + 1)); !e.empty())
                    return fail("-xrm: " + e);
            } else if (a == "-set" || a == "-clear") {
                const auto eq = v.find('=');
                const std::string name = v.substr(0, eq);
                const std::string value = eq == std::string::npos ? (a == "-set" ? "true" : "false") : v.substr(eq + 1);
                if (auto e = ApplyResource(o, name, value); !e.empty())
                    return fail(a + ": " + e);
            } else if (a == "-cafile") {
                o.caFile = v;
            } else if (a == "-cadir") {
                o.caDir = v;
            } else if (a == "-certfile") {
                o.certFile = v;
            } else if (a == "-keyfile") {
                o.keyFile = v;
            } else if (a == "-accepthostname") {
                o.acceptHostname = v;
            } else if (a == "-minversion") {
                o.minVersion = v;
            } else if (a == "-connecttimeout") {
                const auto s = S3270Seconds(v);
                if (!s || *s <= 0)
                    return fail("Invalid -connecttimeout: '" + v + "'");
                o.connectTimeout = *s;
            } else if (a == "-port") {
                const auto p = S3270Number(v);
                if (p < 1 || p > 65535)
                    return fail("Invalid -port: '" + v + "'");
                o.port = static_cast<std::int32_t>(p);
            } else if (a == "-tracefile") {
                o.traceFile = v;
                o.trace = true;
            } else if (a == "-scriptport") {
                o.scriptPort = v;
            } else {
                o.ignored.push_back(a);
            }
            continue;
        }
        if (!o.host.empty())
            return fail("Extra argument: '" + a + "'");
        o.host = a;
    }
    if (!o.oversize.empty()) {
        const auto x = o.oversize.find('x');
        if (x == std::string::npos || S3270Number(o.oversize.substr(0, x)) <= 0 ||
            S3270Number(o.oversize.substr(x + 1)) <= 0)
            return fail("Invalid -oversize: '" + o.oversize + "'");
    }
    return r;
}

std::string S3270UsageText(const std::string& program)
{
    return "Usage: " + program +
           " [options] [[prefix:][LUname@]hostname[:port]]\n"
           "Options:\n"
           "  -?\n     Display command-line help\n"
           "  -accepthostname [DNS:]<name>\n     Host name to accept from server certificate\n"
           "  -cadir <directory>\n     TLS CA certificate database directory\n"
           "  -cafile <filename>\n     TLS CA certificate file\n"
           "  -certfile <filename>\n     TLS client certificate file\n"
           "  -codepage <name>\n     Use host EBCDIC code page <name>\n"
           "  -connecttimeout <seconds>\n     Timeout for host connect requests\n"
           "  --help\n     Display command-line help\n"
           "  -keyfile <filename>\n     Get TLS private key from <filename>\n"
           "  -minversion <version>\n     Fail unless at this version or greater\n"
           "  -model [327{8,9}-]<n>\n     Emulate a 3278 or 3279 model <n>\n"
           "  -noverifycert\n     Disable TLS host certificate validation\n"
           "  -oversize <cols>x<rows>\n     Larger screen dimensions\n"
           "  -port <port>\n     Default TELNET port\n"
           "  -scriptport [<addr>:]<port>\n     TCP port to listen on for script commands\n"
           "  -set <toggle>[=<value>]\n     Set <toggle>\n"
           "  -trace\n     Enable tracing\n"
           "  -tracefile <file>\n     Write traces to <file>\n"
           "  -utf8\n     Force local codeset to be UTF-8\n"
           "  -xrm \"s3270.<resource>: <value>\"\n     Set <resource> to <value>\n"
           "Actions on standard input, one a line; Query(Actions) lists them.\n";
}
