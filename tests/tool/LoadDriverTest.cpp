// The load driver on the demo host: the report's counts for a clean run
// (and that one driver thread keeps every session waiting on the host at
// once), errors counted by kind with the sessions set up afresh, and the
// load script's refusals.
#include "component/uLoadDriver.h"
#include "sim/uDemoApp.h"
#include "sim/uHostSimulator.h"
#include "tools/uLoadScript.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

namespace {

using namespace std::chrono_literals;

std::string DemoScript()
{
    std::ifstream in(TN_DEMO_LOAD_SCRIPT);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

struct TRun {
    tnsim::THostSimulator host;
    TLoadReport report;

    TRun(const std::string& script, std::int32_t sessions, std::int64_t iterations,
         std::chrono::milliseconds answerDelay = 0ms, std::chrono::milliseconds timeout = 20s)
        : host(Options(answerDelay))
    {
        const TLoadScript parsed = ParseLoadScript(script);
        EXPECT_EQ(parsed.error, "");
        TLoadOptions o;
        o.Port = host.Port();
        o.Sessions = sessions;
        o.Iterations = iterations;
        o.WaitTimeout = timeout;
        report = RunLoad(parsed.plan, o);
    }

    static tnsim::TSimHostOptions Options(std::chrono::milliseconds answerDelay)
    {
        tnsim::TSimHostOptions o;
        o.appFactory = tnsim::TDemoApp::Factory();
        o.answerDelay = answerDelay;
        return o;
    }

    const TLoadStepReport& Step(const std::string& name) const
    {
        for (const auto& s : report.Steps)
            if (s.Name == name)
                return s;
        throw std::runtime_error("no step " + name);
    }
};

TEST(LoadDriver, PoolOfSessionsRunsEveryIterationAndWaitsOnTheHostTogether)
{
    // The host holds each answer, so the sessions of the one driver thread
    // are all waiting for it at once unless the driver serialises them.
    TRun run(DemoScript(), 6, 4, 100ms);
    ASSERT_EQ(run.report.Error, "");
    ASSERT_EQ(run.report.Steps.size(), 4u);
    EXPECT_TRUE(run.report.Steps[0].Setup);
    EXPECT_EQ(run.Step("sign on").Count, 6u);
    for (const char* step : {"open inquiry", "inquire", "back"}) {
        EXPECT_EQ(run.Step(step).Count, 24u) << step;
        EXPECT_EQ(run.Step(step).Errors, 0u) << step;
        // The answer delay is a floor for every step's time.
        EXPECT_GE(run.Step(step).P50, 100ms) << step;
        EXPECT_LE(run.Step(step).P50, run.Step(step).P99);
        EXPECT_LE(run.Step(step).P99, run.Step(step).Max);
    }
    EXPECT_EQ(run.report.Iterations, 24u);
    EXPECT_EQ(run.report.FailedIterations, 0u);
    EXPECT_EQ(run.host.SessionCount(), 6u);  // connected once each: a pool
    EXPECT_EQ(run.host.Outstanding().Peak(), 6u);
    EXPECT_NE(run.report.Table().find("iterations 24 done, 0 failed"), std::string::npos) << run.report.Table();
}

TEST(LoadDriver, ErrorsAreCountedByKindAndTheSessionIsSetUpAfresh)
{
    struct Case {
        const char* from;
        const char* to;
        const char* step;
        const char* kind;
    };
    const Case cases[] = {
        {"wait text \"MEI LIN CHEN\"", "wait text \"NOBODY\" 0.3", "inquire", "timeout"},
        {"set 0 \"10003\"", "set 7 \"10003\"", "inquire", "unknown-field"},
        {"key pf3", "key pf12", "back", "ended"},
    };
    for (const Case& c : cases) {
        std::string script = DemoScript();
        script.replace(script.find(c.from), std::string(c.from).size(), c.to);
        TRun run(script, 2, 3);
        const TLoadStepReport& s = run.Step(c.step);
        EXPECT_EQ(s.Errors, 6u) << c.kind;
        EXPECT_EQ(s.ErrorKinds, (std::map<std::string, std::uint64_t>{{c.kind, 6}})) << s.FirstError;
        EXPECT_EQ(run.Step("back").Count, 0u) << c.kind;
        // Every failed iteration signs on again: 2 sessions, 3 iterations.
        EXPECT_EQ(run.Step("sign on").Count, 6u) << c.kind;
        EXPECT_EQ(run.host.SessionCount(), 6u) << c.kind;
        EXPECT_EQ(run.report.FailedIterations, 6u) << c.kind;
        EXPECT_NE(run.report.Table().find(std::string("errors in ") + c.step + ": " + c.kind + " 6"),
                  std::string::npos)
            << run.report.Table();
    }
}

TEST(LoadDriver, ARefusedConnectIsCountedAsAConnectFailureInEveryIteration)
{
    std::string script = DemoScript();
    script.replace(script.find("connect\n"), 7, "connect 127.0.0.1:1");  // nobody listens on port 1
    TRun run(script, 2, 3);
    const TLoadStepReport& s = run.Step("sign on");
    EXPECT_EQ(s.ErrorKinds, (std::map<std::string, std::uint64_t>{{"connect-failed", 6}})) << s.FirstError;
    EXPECT_EQ(s.FirstError, "cannot connect to 127.0.0.1:1: connect 127.0.0.1:1");
    EXPECT_EQ(run.report.FailedIterations, 6u);
}

TEST(LoadScript, RefusesWhatIsNoLoadStep)
{
    const std::pair<const char*, const char*> cases[] = {
        {"connect\nscreen\n", "line 2: unknown load command screen (see tn3270 --help)"},
        {"key enterx\n", "line 1: unknown key enterx"},
        {"wait text \"\"\n", "line 1: usage: wait screen|unlock|connect|disconnect|field [SECONDS] | "
                             "wait text \"TEXT\" [SECONDS] | wait cursor ROW COL [SECONDS]"},
        {"wait field 0\n", "line 1: SECONDS must be a number above 0: 0"},
        {"iteration\nkey enter\nsetup\n", "line 3: setup comes once, before the iteration"},
        {"setup\nconnect\n", "the script has no iteration step"},
        {"step a\nstep b\nkey enter\n", "step a has no command"},
        {"set 0 \"open\n", "line 1: missing closing quote for the text at column 7"},
    };
    for (const auto& [script, error] : cases)
        EXPECT_EQ(ParseLoadScript(script).error, error) << script;
    // Commands before the first step form a step named after the part.
    const TLoadScript bare = ParseLoadScript("connect\nwait field\n");
    ASSERT_EQ(bare.plan.Iteration.size(), 1u);
    EXPECT_EQ(bare.plan.Iteration[0].Name, "iteration");
    EXPECT_EQ(bare.plan.Iteration[0].Actions.size(), 2u);
}

}  // namespace
