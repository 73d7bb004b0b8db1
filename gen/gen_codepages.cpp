// gen_codepages: prints stream/uCodePageTables.cpp, generated from the
// system's iconv (see gen/uCodePageGen.h). scripts/gen-codepages runs it.
#include "gen/uCodePageGen.h"

#include <iostream>

int main()
{
    std::string error;
    const auto source = CodePageTablesSource(error);
    if (!source) {
        std::cerr << "gen_codepages: " << error << '\n';
        return 1;
    }
    std::cout << *source;
    return std::cout.good() ? 0 : 1;
}
