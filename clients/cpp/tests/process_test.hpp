// SPDX-License-Identifier: MIT
// What the child_process tests of every OS and those of one OS share.
#pragma once

#include "capi_bridge/process.hpp"

#include <string>
#include <vector>

// The command that runs the tests' child program (process_test_child.cpp,
// beside the test program) with `steps`.
std::vector<std::string> test_child(std::vector<std::string> steps);

// A child_process running the test child with `steps` and `options`
// (whose command is replaced); the test fails if it cannot start.
capi_bridge::child_process started(const std::vector<std::string>& steps,
                                   capi_bridge::process_options options = {});

// Everything the child writes to standard output until it ends (5 s at most
// for each piece).
std::string all_output(capi_bridge::child_process& c);
