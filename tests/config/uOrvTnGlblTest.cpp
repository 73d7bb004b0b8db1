// Module globals: the load from a module file and "Telnet.ini" in a
// temporary directory, the module locator, and the package frame.
#include "config/uOrvTnGlbl.h"
#include "log/uOrvIntfLogg.h"
#include "platform/uModule.h"
#include "tests/log/LogTestUtil.h"

#include <gtest/gtest.h>

#include <gnu/libc-version.h>

using namespace logtest;

namespace {

const std::string kExeDir = fs::read_symlink("/proc/self/exe").parent_path().string() + "/";

// Linked into this program: the frame ran before main with the nominal name.
TEST(PackageFrame, StartedBeforeMainWithTheNominalModuleBesideTheProgram)
{
    EXPECT_EQ(PackageState(), TPackageState::psLoaded);
    EXPECT_EQ(PackageModuleFile(), kExeDir + "pktn3270.dso");
    LoadModuleGlobals();
    EXPECT_EQ(gModulePath, kExeDir);
    EXPECT_EQ(gModuleName, "pktn3270.dso");
    EXPECT_EQ(gSubServicio, "TN3270");
}

TEST(ModuleLocator, TellsTheProgramFromASharedLibrary)
{
    static const int inProgram = 0;
    const TModuleFile self = ModuleFileOf(&inProgram);
    EXPECT_TRUE(self.mainProgram);
    EXPECT_EQ(self.path, fs::read_symlink("/proc/self/exe").string());

    const TModuleFile libc = ModuleFileOf(reinterpret_cast<const void*>(&::gnu_get_libc_version));
    EXPECT_FALSE(libc.mainProgram);
    EXPECT_EQ(libc.path.front(), '/');
    EXPECT_NE(libc.path.find("libc"), std::string::npos) << libc.path;
}

class ModuleGlobalsTest : public ::testing::Test {
protected:
    TempDir dir;
    FixedClock clock{LocalTime(2026, 12, 6, 8, 0, 0)};

    void TearDown() override { LoadModuleGlobals(); }  // back to this program's own settings
    void Load(const std::string& ini, const std::string& module = "pktn3270.dso")
    {
        if (!ini.empty())
            WriteFile(dir / "Telnet.ini", ini);
        LoadModuleGlobals(dir / module);
    }
};

TEST_F(ModuleGlobalsTest, DefaultsWithoutTelnetIni)
{
    Load("");
    EXPECT_EQ(gModulePath, dir.path() + "/");
    EXPECT_EQ(gModuleName, "pktn3270.dso");
    EXPECT_EQ(gIniFile, dir.path() + "/Telnet.ini");
    EXPECT_EQ(gSubServicio, "TN3270");
    EXPECT_EQ(gLogID, "TN3270_");
    EXPECT_EQ(gLogExt, "SYS");
    EXPECT_EQ(gDumpExt, "DMP");
    EXPECT_EQ(gLogLevel, 0);
    EXPECT_EQ(gLogDir, gModulePath);
    EXPECT_EQ(gAETableFile, "");
    EXPECT_EQ(gTermType, "IBM-3278-2-E");
    EXPECT_TRUE(gTN3270E_BindImage);
    EXPECT_FALSE(gTN3270E_DataStreamCtl);
    EXPECT_TRUE(gTN3270E_Responses);
    EXPECT_TRUE(gTN3270E_ScsCtlCodes);
    EXPECT_TRUE(gTN3270E_SysReq);
    MsgLog(0, "x");
    EXPECT_FALSE(LogEnabled(0));
    EXPECT_EQ(FileCount(dir.path()), 0u);
}

TEST_F(ModuleGlobalsTest, PositiveLevelStartsLoggingInTheModuleDirectory)
{
    TempDir other;
    Load("[TN3270]\r\nLogLevel=3\r\nLogDir=" + other.path() + "\r\nEbcdicTable=cp500.tbl\r\n");
    EXPECT_EQ(gLogLevel, 3);
    EXPECT_EQ(gLogDir, other.path());
    EXPECT_EQ(gAETableFile, "cp500.tbl");
    EXPECT_EQ(FileCount(dir.path()), 1u);  // only Telnet.ini: nothing is written at load
    MsgLog(3, "three");
    MsgLog(4, "four");
    EXPECT_EQ(Lines(ReadFile(dir / "TN3270_061226.SYS")).size(), 1u);
    EXPECT_EQ(FileCount(other.path()), 0u);
    SetLoggingDir(gLogDir);  // the directory from the file applies from here on
    MsgLog(3, "moved");
    LogFlush();
    EXPECT_TRUE(fs::exists(other / "TN3270_061226.SYS"));
}

TEST_F(ModuleGlobalsTest, ReadPauseIsReadInRangeOrDefaults)
{
    const struct {
        const char* line;
        std::int32_t want;
    } cases[] = {{"", 5}, {"ReadPause=0\n", 0}, {"ReadPause=20\n", 20}, {"ReadPause=1000\n", 1000},
                 {"ReadPause=-1\n", 5}, {"ReadPause=1001\n", 5}, {"ReadPause=fast\n", 5}};
    for (const auto& c : cases) {
        Load(std::string("[TN3270]\n") + c.line);
        EXPECT_EQ(gReadPause, c.want) << c.line;
    }
}

TEST_F(ModuleGlobalsTest, ReadsOnlyTheSectionOfTheServiceName)
{
    const std::string ini =
        "[OTHER]\nEbcdicTable=wrong\nLogLevel=5\n[tn3270]\nEbcdicTable=right\n[TN5250]\nLogLevel=2\n"
        "TermType=T5250\n";
    Load(ini, "XXTN3270.DSO");
    EXPECT_EQ(gSubServicio, "TN3270");
    EXPECT_EQ(gAETableFile, "right");
    EXPECT_EQ(gLogLevel, 0);

    Load(ini, "pktn5250.dso");
    EXPECT_EQ(gSubServicio, "TN5250");
    EXPECT_EQ(gTermType, "T5250");
    EXPECT_EQ(gLogLevel, 2);
    EXPECT_FALSE(gTN3270E_BindImage || gTN3270E_Responses || gTN3270E_ScsCtlCodes || gTN3270E_SysReq);
    SetLogging(0);

    Load("[TN5250]\n", "pktn5250.dso");
    EXPECT_EQ(gTermType, "IBM-3179-2-E");

    // A name that is too short for the pattern selects no known service.
    Load("", "tn.so");
    EXPECT_EQ(gSubServicio, "");
    EXPECT_EQ(gLogID, "_");
    EXPECT_EQ(gTermType, "");
    EXPECT_FALSE(gTN3270E_BindImage);
}

TEST_F(ModuleGlobalsTest, FlagsAreTrueOnlyForExactlyOne)
{
    struct Case {
        std::string value;
        bool bindImage;
    };
    for (const Case& c : std::vector<Case>{{"1", true}, {"2", false}, {"0", false}, {"abc", true},
                                           {"", true}, {"-1", false}}) {
        Load("[TN3270]\nBindImage=" + c.value + "\nDataStreamCtl=1\nSysReq=0\n");
        EXPECT_EQ(gTN3270E_BindImage, c.bindImage) << c.value;
        EXPECT_TRUE(gTN3270E_DataStreamCtl);
        EXPECT_FALSE(gTN3270E_SysReq);
    }
}

TEST_F(ModuleGlobalsTest, TlsDefaultsComeFromAnySectionAndOnlyAnExplicitZeroSkipsVerification)
{
    Load("");
    EXPECT_EQ(gTlsMode, "none");
    EXPECT_EQ(gTlsMinVersion, "1.2");
    EXPECT_TRUE(gTlsVerify);
    EXPECT_EQ(gTlsCaFile + gTlsCaPath + gTlsCertFile + gTlsKeyFile, "");

    Load("[TN5250]\nTlsMode=starttls\nTlsCaFile=/ca.pem\nTlsCaPath=/certs\nTlsCertFile=/me.pem\n"
         "TlsKeyFile=/me.key\nTlsMinVersion=1.3\nTlsVerify=0\n",
         "pktn5250.dso");
    EXPECT_EQ(gTlsMode, "starttls");
    EXPECT_EQ(gTlsCaFile, "/ca.pem");
    EXPECT_EQ(gTlsCaPath, "/certs");
    EXPECT_EQ(gTlsCertFile, "/me.pem");
    EXPECT_EQ(gTlsKeyFile, "/me.key");
    EXPECT_EQ(gTlsMinVersion, "1.3");
    EXPECT_FALSE(gTlsVerify);

    for (const char* value : {"1", "2", "yes", ""}) {
        Load(std::string("[TN3270]\nTlsVerify=") + value + "\n");
        EXPECT_TRUE(gTlsVerify) << value;
    }
}

TEST_F(ModuleGlobalsTest, EmptyLogDirIsKeptEmpty)
{
    Load("[TN3270]\nLogDir=\nTermType=\n");
    EXPECT_EQ(gLogDir, "");
    EXPECT_EQ(gTermType, "");
}

// Shutdown frees the logs, clears the globals last, and nothing starts the
// package again; run in a forked child so this program keeps its package.
TEST(PackageFrame, ShutdownRunsOnceAndLeavesLoggingOffForGood)
{
    TempDir dir;
    EXPECT_EXIT(
        {
            SetLoggingDir(dir.path());
            SetLogging(2);
            MsgLog(1, "before");
            PackageFinalize();
            const bool cleared = gModulePath.empty() && gLogID.empty() && !LogEnabled(0);
            SetLogging(3);
            SetLoggingDir(dir.path());
            MsgLog(0, "after");
            PackageInitialize();
            PackageFinalize();
            const bool stays = PackageState() == TPackageState::psUnloaded && !LogEnabled(0);
            std::_Exit(cleared && stays ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
    std::string all;
    for (const auto& e : fs::directory_iterator(dir.path()))
        all += ReadFile(e.path().string());
    EXPECT_NE(all.find("before"), std::string::npos);
    EXPECT_EQ(all.find("after"), std::string::npos);
}

}  // namespace
