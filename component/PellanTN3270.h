// The package unit: what a designer loads to put the package's component on
// its palette.
#pragma once

#include <string>

// Palette page and package description the component is registered with.
inline constexpr char kPalettePage[] = "Internet";
inline constexpr char kPackageDescription[] = "TN3270 Component";

// Registers TTn3270E in the process-wide component registry
// (TComponentRegistry) on the page "Internet", with a factory that creates
// it for a given owner. Calling it again replaces the entry. Thread-safe.
void Register();
