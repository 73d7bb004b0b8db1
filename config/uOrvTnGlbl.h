// Package-wide settings, filled once when the package is loaded from the
// module's own location and "Telnet.ini" beside it, and the package frame
// that starts and stops the package's units in their fixed order.
//
// Written at load, and later only by SetLogging/SetLoggingDir and the
// telnet component's debug properties (application thread). Readers on
// other threads go through the log facade, which serialises with the writers.
//
// The module: when the package is built as its shared library, the module is
// that library's file (named kModuleFileName, e.g. "pktn3270.dso", so that
// the service name is "TN3270"). When the package is linked into a program,
// "Telnet.ini" is read beside the program's executable and the module name is
// the nominal kModuleFileName, so the section read is still "TN3270".
#pragma once

#include "log/uOrvIntfLogg.h"  // gLogLevel, gLogDir, gLogID, gLogExt, gDumpExt

#include <cstdint>
#include <string>
#include <string_view>

extern std::string gModulePath;   // directory of the module file, ending in '/'
extern std::string gModuleName;   // file name of the module, with extension
extern std::string gIniFile;      // gModulePath + "Telnet.ini"
extern std::string gSubServicio;  // service name: the profile section read
// gLogLevel ("LogLevel", default 0), gLogDir ("LogDir", default gModulePath),
// gLogID (gSubServicio + "_"), gLogExt ("SYS"), gDumpExt ("DMP") and
// gUnmaskedDumps ("UnmaskedDumps", true only if exactly 1, default 0) are
// declared by the log facade (log/uOrvIntfLogg.h), which reads them.
extern std::string gAETableFile;  // "EbcdicTable", default empty: a code page ("cp1141") or a table file
extern std::string gTermType;     // "TermType"
extern bool gTN3270E_BindImage;
extern bool gTN3270E_DataStreamCtl;
extern bool gTN3270E_Responses;
extern bool gTN3270E_ScsCtlCodes;
extern bool gTN3270E_SysReq;
// Defaults of the telnet component's TLS properties (keys of the same
// names, read whatever the service name); a property the application sets wins.
extern std::string gTlsMode;        // "TlsMode": "none" (default), "direct" or "starttls"
extern std::string gTlsCaFile;      // "TlsCaFile", default empty (the system's CA store)
extern std::string gTlsCaPath;      // "TlsCaPath", default empty
extern std::string gTlsCertFile;    // "TlsCertFile", default empty (no client certificate)
extern std::string gTlsKeyFile;     // "TlsKeyFile", default empty
extern std::string gTlsMinVersion;  // "TlsMinVersion", default "1.2"
extern bool gTlsVerify;             // "TlsVerify", true unless the value is exactly 0
// "ReadPause": milliseconds the socket reader waits between "data ready"
// and the read, the default of each new component's ReadPause property.
extern std::int32_t gReadPause;
// "EventLoop": 1 puts each new component on the event-loop transport
// (telnet/uLoopTransport) instead of a reader thread per session; default 0.
extern bool gEventLoop;
// "Model": the display model of each new component, a number 2 to 5 or a
// name such as 3279-4-E (see TTn3270E::SetModelName); empty (the default):
// model 2.
extern std::string gModel;
inline constexpr std::int32_t kDefaultReadPauseMs = 5;
// The longest read pause accepted (a second); above it, and below 0, the
// key gives the default and the property refuses the value.
inline constexpr std::int32_t kMaxReadPauseMs = 1000;

// File name of the package's shared library; the service name is the name
// without its first two and last four characters, upper-cased: "TN3270".
inline constexpr std::string_view kModuleFileName = "pktn3270.dso";
inline constexpr std::string_view kIniFileName = "Telnet.ini";

// The full file name of the package module: the shared library holding this
// code, or <directory of the executable>/kModuleFileName when the package is
// linked into a program.
std::string PackageModuleFile();

// Fills every global from the module file name (full path) and the
// "Telnet.ini" beside it, then calls SetLogging(gLogLevel); "LogDir" is stored
// after that and applies from the next SetLogging/SetLoggingDir. Every global
// is reset to its start value first, so a second call behaves like a fresh
// load. A missing file, section or key leaves the defaults; never throws.
// Runs under the log lock. Tests call it with a module path in a temp dir.
void LoadModuleGlobals(const std::string& moduleFile);
// The same for PackageModuleFile().
void LoadModuleGlobals();
// The unit's shutdown: clears the string globals; writes nothing.
void ClearModuleGlobals();

// The package frame. The units start in this order and stop in reverse:
//   uOrvTnGlbl  load the globals (may switch logging on)
//   uTLogg      the log lock: constant-initialised, alive for the whole
//               process, so it needs no start or stop work
//   uOrvIntfLogg  start: nothing; stop: logging off, both logs freed
//   the other units (fields, consts, screen buffer, streams, telnet,
//   component) keep no state that needs starting or stopping.
// PackageInitialize runs the start-ups once per load; later calls do nothing.
// PackageFinalize runs the shutdowns once, only after a start-up; the package
// never starts again after it (SetLogging is then a no-op).
// One static object in uOrvTnGlbl.cpp calls PackageInitialize while the
// program or library is loaded and PackageFinalize when it is unloaded;
// before any static constructor runs it hands the log facade
// EnsurePackageInitialized as its start hook, which the facade runs on its
// first use, so code that logs from its own static constructors still finds
// the package started. The log itself knows nothing of this frame: it sits
// below the configuration.
// All three are thread-safe (they run under the log lock).
enum class TPackageState : std::uint8_t { psNotLoaded, psLoading, psLoaded, psUnloaded };
void PackageInitialize();
void PackageFinalize();
// PackageInitialize unless the start-up has already begun on this thread or
// finished; a no-op once the package has shut down.
void EnsurePackageInitialized();
TPackageState PackageState();
