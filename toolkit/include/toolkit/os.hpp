// SPDX-License-Identifier: MIT
// What differs between the operating systems for the programs and the
// tests: where a program lives, scratch folders, terminals and the
// environment. One implementation file per OS, chosen by CMake.
#pragma once

#include <cstdio>
#include <filesystem>
#include <string>

namespace toolkit {

// How executables are named here: ".exe" on Windows, nothing elsewhere.
extern const char executable_suffix[];

// Whether capi-host-emulator, a Linux program, can be started here. On
// Windows a program can only reach a CAPI host that runs elsewhere.
extern const bool emulator_runs_here;

// What to check when the bridge cannot load libcapi20: Debian's package, or
// on Windows the DLL beside capi-bridge.exe.
extern const char libcapi20_missing_hint[];

// The folder holding the running program; the current folder when the
// system does not say.
std::filesystem::path program_folder();

// Creates a new folder, readable by this user alone where the system has
// such a notion, in the system's temporary folder, named `prefix` and a
// unique ending. Returns its path, or an empty path with `error` set.
std::filesystem::path make_temporary_folder(const std::string& prefix, std::string& error);

// True when `stream` is a terminal (a console on Windows).
bool is_terminal(std::FILE* stream);

// Sets `name` in this process's environment, which child processes inherit;
// a null `value` removes it.
void set_environment(const std::string& name, const char* value);

} // namespace toolkit
