// SPDX-License-Identifier: MIT
// The request loop: reads request frames from standard input, dispatches each
// on its kind letter, and ends the way the client's stream says.
#pragma once

// Serves requests until Close has been answered, or until the input ends, a
// request length lies outside 1..max_request_length, its buffer cannot be
// allocated or the platform asks the bridge to stop; in those last cases the
// registered application is released and nothing more is written. Returns to
// the caller in every case: the process is never ended from inside.
void serve_requests();
