// Package-wide settings, filled once when the package is loaded from the
// module's own location and "Telnet.ini" beside it.
//
// Written at load, and later only by SetLogging/SetLoggingDir and the
// telnet component's debug properties (application thread). Readers on
// other threads go through the log facade, which serialises with the writers.
#pragma once

#include <cstdint>
#include <string>

extern std::string gModulePath;   // directory of the module file, ending in '/'
extern std::string gModuleName;   // file name of the module, with extension
extern std::string gIniFile;      // gModulePath + "Telnet.ini"
extern std::string gSubServicio;  // service name: the profile section read
extern std::int32_t gLogLevel;    // "LogLevel", default 0 (off)
extern std::string gLogDir;       // "LogDir", default gModulePath
extern std::string gLogID;        // log file prefix: gSubServicio + "_"
extern std::string gLogExt;       // "SYS"
extern std::string gDumpExt;      // "DMP"
extern std::string gAETableFile;  // "EbcdicTable", default empty
extern std::string gTermType;     // "TermType"
extern bool gTN3270E_BindImage;
extern bool gTN3270E_DataStreamCtl;
extern bool gTN3270E_Responses;
extern bool gTN3270E_ScsCtlCodes;
extern bool gTN3270E_SysReq;
