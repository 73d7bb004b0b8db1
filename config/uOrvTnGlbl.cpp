// Placeholder definitions; the loader from "Telnet.ini" replaces this unit.
#include "config/uOrvTnGlbl.h"

std::string gModulePath;
std::string gModuleName;
std::string gIniFile;
std::string gSubServicio;
std::int32_t gLogLevel = 0;
std::string gLogDir;
std::string gLogID;
std::string gLogExt;
std::string gDumpExt;
std::string gAETableFile;
std::string gTermType;
bool gTN3270E_BindImage = false;
bool gTN3270E_DataStreamCtl = false;
bool gTN3270E_Responses = false;
bool gTN3270E_ScsCtlCodes = false;
bool gTN3270E_SysReq = false;
