// The built-in code pages by name, for front ends that offer a choice of
// them (the s3270 protocol's -codepage, Set(codePage), Query(CodePages))
// without reaching into the data stream layer.
#pragma once

#include <string>
#include <string_view>
#include <vector>

// "cp037" ... "cp1149", "bracket": every name ConversionTable takes for a
// built-in page, in the order the tables list them.
std::vector<std::string> BuiltInCodePageNames();
// True when the name ("cp37", "CP037", "bracket") is a built-in page.
bool IsBuiltInCodePage(std::string_view name);
// The code page number of a built-in page (37 for "bracket"); 0 for none.
int BuiltInCodePageNumber(std::string_view name);
