// Module globals, their load from the module's location and "Telnet.ini",
// and the package frame that runs the units' start-up and shutdown.
#include "config/uOrvTnGlbl.h"

#include "log/uOrvIntfLogg.h"
#include "log/uTLogg.h"
#include "platform/uIniFile.h"
#include "platform/uModule.h"

#include <atomic>
#include <type_traits>
#include <mutex>

// Constant-initialised: they hold their start values before any static
// constructor runs, so the facade may use them from anyone's start-up code.
// clang 14 cannot evaluate libstdc++ 12's std::string constructor at compile
// time (it rejects the union member write in it), so there the assertion is
// dropped; both compilers still initialise the strings before this unit's
// package frame below uses them.
#if defined(__clang__) && __clang_major__ < 15
#define TN_CONSTINIT_STRING
#else
#define TN_CONSTINIT_STRING constinit
#endif
TN_CONSTINIT_STRING std::string gModulePath;
TN_CONSTINIT_STRING std::string gModuleName;
TN_CONSTINIT_STRING std::string gIniFile;
TN_CONSTINIT_STRING std::string gSubServicio;
TN_CONSTINIT_STRING std::string gAETableFile;
TN_CONSTINIT_STRING std::string gTermType;
TN_CONSTINIT_STRING std::string gModel;
constinit bool gTN3270E_BindImage = false;
constinit bool gTN3270E_DataStreamCtl = false;
constinit bool gTN3270E_Responses = false;
constinit bool gTN3270E_ScsCtlCodes = false;
constinit bool gTN3270E_SysReq = false;
TN_CONSTINIT_STRING std::string gTlsMode;
TN_CONSTINIT_STRING std::string gTlsCaFile;
TN_CONSTINIT_STRING std::string gTlsCaPath;
TN_CONSTINIT_STRING std::string gTlsCertFile;
TN_CONSTINIT_STRING std::string gTlsKeyFile;
TN_CONSTINIT_STRING std::string gTlsMinVersion;
constinit bool gTlsVerify = true;
constinit std::int32_t gReadPause = kDefaultReadPauseMs;
constinit bool gEventLoop = false;

namespace {

// An address inside this module's own image. Internal linkage: the program
// cannot interpose or copy it, so the loader attributes it to the library.
constinit const char kModuleAnchor = 0;

constinit std::atomic<TPackageState> gPackageState{TPackageState::psNotLoaded};

using TLogGuard = std::lock_guard<uTLogg::TRecursiveLock>;

std::string UpperAscii(std::string s)
{
    for (char& c : s)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return s;
}

void ResetModuleGlobals()
{
    ClearModuleGlobals();
    gLogLevel = 0;
    gUnmaskedDumps.store(false, std::memory_order_relaxed);
    gTN3270E_BindImage = false;
    gTN3270E_DataStreamCtl = false;
    gTN3270E_Responses = false;
    gTN3270E_ScsCtlCodes = false;
    gTN3270E_SysReq = false;
    gTlsMinVersion = "1.2";
    gTlsVerify = true;
    gReadPause = kDefaultReadPauseMs;
    gEventLoop = false;
}

// An integer key is true only when its value is exactly 1.
bool FlagKey(const TIniFile& ini, std::string_view key, std::int32_t defaultValue)
{
    return ini.ReadInteger(gSubServicio, key, defaultValue) == 1;
}

void LoadFrom(const std::string& moduleFile)
{
    const auto slash = moduleFile.rfind('/');
    gModulePath = slash == std::string::npos ? std::string() : moduleFile.substr(0, slash + 1);
    gModuleName = slash == std::string::npos ? moduleFile : moduleFile.substr(slash + 1);
    gLogDir = gModulePath;
    // The name without its two-character prefix and its four-character
    // extension (".dso"): "pktn3270.dso" -> "TN3270".
    gSubServicio = gModuleName.size() > 6 ? UpperAscii(gModuleName.substr(2, gModuleName.size() - 6))
                                          : std::string();
    gLogID = gSubServicio + "_";
    gLogExt = "SYS";
    gDumpExt = "DMP";
    gIniFile = gModulePath + std::string(kIniFileName);

    const TIniFile ini(gIniFile);
    gLogLevel = ini.ReadInteger(gSubServicio, "LogLevel", 0);
    // The logs are prepared in the module directory; "LogDir" applies from
    // the next SetLogging or SetLoggingDir.
    SetLogging(gLogLevel);
    // Non-display field contents (passwords) are masked in every log unless
    // the profile explicitly asks for them; then the log says so.
    gUnmaskedDumps.store(ini.ReadInteger(gSubServicio, "UnmaskedDumps", 0) == 1, std::memory_order_relaxed);
    if (!LogMasksSecrets())
        MsgLog(TLogLevel::llError, "UnmaskedDumps=1: non-display field contents are written to the logs unmasked");
    gLogDir = ini.ReadString(gSubServicio, "LogDir", gLogDir);
    gAETableFile = ini.ReadString(gSubServicio, "EbcdicTable", "");
    gTlsMode = ini.ReadString(gSubServicio, "TlsMode", "none");
    gTlsCaFile = ini.ReadString(gSubServicio, "TlsCaFile", "");
    gTlsCaPath = ini.ReadString(gSubServicio, "TlsCaPath", "");
    gTlsCertFile = ini.ReadString(gSubServicio, "TlsCertFile", "");
    gTlsKeyFile = ini.ReadString(gSubServicio, "TlsKeyFile", "");
    gTlsMinVersion = ini.ReadString(gSubServicio, "TlsMinVersion", "1.2");
    // Verification is switched off only by an explicit 0.
    gTlsVerify = ini.ReadInteger(gSubServicio, "TlsVerify", 1) != 0;
    const std::int32_t pause = ini.ReadInteger(gSubServicio, "ReadPause", kDefaultReadPauseMs);
    gReadPause = pause >= 0 && pause <= kMaxReadPauseMs ? pause : kDefaultReadPauseMs;
    gEventLoop = ini.ReadInteger(gSubServicio, "EventLoop", 0) != 0;
    if (gSubServicio == "TN5250")
        gTermType = ini.ReadString(gSubServicio, "TermType", "IBM-3179-2-E");
    if (gSubServicio == "TN3270") {
        gTermType = ini.ReadString(gSubServicio, "TermType", "IBM-3278-2-E");
        gModel = ini.ReadString(gSubServicio, "Model", "");
        gTN3270E_BindImage = FlagKey(ini, "BindImage", 1);
        gTN3270E_DataStreamCtl = FlagKey(ini, "DataStreamCtl", 0);
        gTN3270E_Responses = FlagKey(ini, "Responses", 1);
        gTN3270E_ScsCtlCodes = FlagKey(ini, "ScsCtlCodes", 1);
        gTN3270E_SysReq = FlagKey(ini, "SysReq", 1);
    }
}

// Starts the package while the program or the shared library is loaded and
// stops it when it is unloaded. The only object of this package with dynamic
// initialisation: everything it touches is constant-initialised.
struct TPackageFrame {
    TPackageFrame() { PackageInitialize(); }
    ~TPackageFrame() { PackageFinalize(); }
    TPackageFrame(const TPackageFrame&) = delete;
    TPackageFrame& operator=(const TPackageFrame&) = delete;
};
TPackageFrame gPackageFrame;

// Hands the log its start hook before any static constructor of default
// priority runs (101 is the highest priority an application may use), so
// that code logging from its own static constructors starts the package
// first, whatever the link order. Nothing to destroy: the shutdown order of
// the frame above is untouched.
struct TLogStartHookSetter {
    TLogStartHookSetter() { SetLogStartHook(&EnsurePackageInitialized); }
};
static_assert(std::is_trivially_destructible_v<TLogStartHookSetter>);
__attribute__((init_priority(101))) TLogStartHookSetter gLogStartHookSetter;

}  // namespace

std::string PackageModuleFile()
{
    const TModuleFile module = ModuleFileOf(&kModuleAnchor);
    if (!module.mainProgram)
        return module.path;
    const auto slash = module.path.rfind('/');
    const std::string dir = slash == std::string::npos ? std::string() : module.path.substr(0, slash + 1);
    return dir + std::string(kModuleFileName);
}

void LoadModuleGlobals(const std::string& moduleFile)
{
    TLogGuard guard(uTLogg::LogLock());
    ResetModuleGlobals();
    try {
        LoadFrom(moduleFile);
    } catch (...) {
        // Out of memory while loading: keep what was read, defaults elsewhere.
    }
}

void LoadModuleGlobals() { LoadModuleGlobals(PackageModuleFile()); }

void ClearModuleGlobals()
{
    for (std::string* s : {&gModulePath, &gModuleName, &gIniFile, &gSubServicio, &gLogDir, &gLogID,
                           &gLogExt, &gDumpExt, &gAETableFile, &gTermType, &gTlsMode, &gTlsCaFile,
                           &gTlsCaPath, &gTlsCertFile, &gTlsKeyFile, &gTlsMinVersion, &gModel})
        s->clear();
}

void PackageInitialize()
{
    TLogGuard guard(uTLogg::LogLock());
    if (gPackageState.load(std::memory_order_relaxed) != TPackageState::psNotLoaded)
        return;
    gPackageState.store(TPackageState::psLoading, std::memory_order_relaxed);
    LoadModuleGlobals();    // uOrvTnGlbl
                            // uTLogg: the log lock is constant-initialised
    InitializeLogFacade();  // uOrvIntfLogg
    gPackageState.store(TPackageState::psLoaded, std::memory_order_release);
}

void PackageFinalize()
{
    TLogGuard guard(uTLogg::LogLock());
    if (gPackageState.load(std::memory_order_relaxed) != TPackageState::psLoaded)
        return;
    FinalizeLogFacade();   // uOrvIntfLogg: frees both logs
                           // uTLogg: the lock outlives every log
    ClearModuleGlobals();  // uOrvTnGlbl, last
    gPackageState.store(TPackageState::psUnloaded, std::memory_order_release);
}

void EnsurePackageInitialized()
{
    const TPackageState state = gPackageState.load(std::memory_order_acquire);
    if (state == TPackageState::psLoaded || state == TPackageState::psUnloaded)
        return;
    PackageInitialize();
}

TPackageState PackageState() { return gPackageState.load(std::memory_order_acquire); }
