// The package as a shared module: its globals come from the module's own
// directory and the "Telnet.ini" there, not from the program's.
#include "config/uOrvTnGlbl.h"
#include "log/uOrvIntfLogg.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace {

TEST(SharedModule, LoadsFromItsOwnDirectory)
{
    namespace fs = std::filesystem;
    EXPECT_EQ(PackageState(), TPackageState::psLoaded);
    EXPECT_TRUE(fs::equivalent(gModulePath, TN_MODULE_DIR)) << gModulePath;
    EXPECT_EQ(gModulePath.back(), '/');
    EXPECT_EQ(gModuleName, "pktn3270.dso");
    EXPECT_EQ(gSubServicio, "TN3270");
    EXPECT_EQ(gAETableFile, "beside-the-module.tbl");
    EXPECT_EQ(PackageModuleFile(), gModulePath + "pktn3270.dso");
    EXPECT_NE(fs::read_symlink("/proc/self/exe").parent_path().string() + "/", gModulePath);
    EXPECT_FALSE(LogEnabled(0));
}

}  // namespace
