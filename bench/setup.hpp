// SPDX-License-Identifier: MIT
// Where the benchmark finds its programs, how it starts the bridge and the
// baseline, and its scratch folder.
#pragma once

#include "child.hpp"

#include <string>
#include <utility>
#include <vector>

using environment_list = std::vector<std::pair<std::string, std::string>>;

// Starts the bridge (under `wrapper`, if any) against the null library
// (null_capi/null_capi.cpp) with `script`, and opens an application. Exits
// the benchmark when the open fails.
child start_bridge(const std::string& script, const std::vector<std::string>& wrapper = {},
                   const environment_list& environment = {});

// Sends Close, reads its reply and waits for the bridge to end.
void stop_bridge(child& c);

// Starts the pipe baseline with canned replies (see pipe_baseline.cpp) and
// sends it the same Open as the bridge.
child start_baseline(const std::vector<std::string>& canned,
                     const std::vector<std::string>& wrapper = {},
                     const environment_list& environment = {});

// Paths of the programs built beside the benchmark.
std::string bridge_program();
std::string count_allocations_library();
std::string emulator_program(); // empty when not built
std::string run_program();      // capi-bridge-run; empty when not built
// A program linked with libcapi20 that calls between two applications of
// its own (interface/tests/programs/capi20_call.c); empty when not built.
std::string call_program();
std::string
peer_program(bool bridge);        // capi-peer-bridge or capi-peer-direct (empty when not built)
std::string no_nodelay_library(); // see no_nodelay/no_nodelay.cpp
std::string private_shm_script(); // tests/support/private_shm.sh

// A fresh file name in the benchmark's scratch folder, removed at exit.
std::string temp_path(const std::string& stem);

bool program_on_path(const std::string& name);

// Processor, core count and kernel, one line.
std::string machine_description();
