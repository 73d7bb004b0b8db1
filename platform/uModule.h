// Finding the file of the loaded object that holds our code: the package's
// shared library when it is loaded as one, or the program itself when the
// package is linked into it.
#pragma once

#include <string>

struct TModuleFile {
    std::string path;          // absolute file name; empty when it cannot be found
    bool mainProgram = false;  // true when address lies in the program's executable
};

// The object (shared library or executable) whose mapped image contains
// address. For the executable the name is taken from /proc/self/exe, since the
// loader only knows it as the program was invoked. Any thread; no errors
// beyond an empty path.
TModuleFile ModuleFileOf(const void* address);
