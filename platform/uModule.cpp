// Locating the file of our own loaded object through the dynamic loader.
#include "platform/uModule.h"

#include <dlfcn.h>
#include <link.h>
#include <unistd.h>

#include <filesystem>
#include <system_error>

namespace {

std::string ExecutablePath()
{
    std::error_code ec;
    auto path = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::string() : path.string();
}

}  // namespace

TModuleFile ModuleFileOf(const void* address)
{
    Dl_info info{};
    link_map* map = nullptr;
    if (::dladdr1(address, &info, reinterpret_cast<void**>(&map), RTLD_DL_LINKMAP) == 0 ||
        map == nullptr)
        return TModuleFile{ExecutablePath(), true};
    // The loader gives the program an empty name in its list of objects.
    if (map->l_name == nullptr || map->l_name[0] == '\0')
        return TModuleFile{ExecutablePath(), true};
    std::error_code ec;
    auto path = std::filesystem::absolute(map->l_name, ec);
    return TModuleFile{ec ? std::string(map->l_name) : path.string(), false};
}
