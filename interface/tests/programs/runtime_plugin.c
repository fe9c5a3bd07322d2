// SPDX-License-Identifier: MIT
// The plug-in runpath_host opens.
extern const char plugin_name[];
const char plugin_name[] = "loaded";
