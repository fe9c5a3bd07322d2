# SPDX-License-Identifier: MIT
"""The Python client of capi-bridge: CAPI 2.0 on a remote CAPI host through a
bridge process (standard library only, POSIX).

- capi_bridge.Client starts capi-bridge as a child process and makes its
  requests (Open, Profile, Put, Get, Close), each under a time limit;
- capi_bridge.messages builds and reads the CAPI 2.0 messages of a call with
  data;
- capi_bridge.calls has the steps of a call (listen, dial, answer, B3, data,
  clearing);
- capi_bridge.emulator runs capi-host-emulator, an emulated CAPI host on
  127.0.0.1, for trying things out and for tests.
"""

from .client import (
    B3_BLOCK_SIZE,
    INFO_DATA_LENGTH_NOT_SUPPORTED,
    INFO_HOST_GONE,
    INFO_ILLEGAL_APPL_ID,
    INFO_ILLEGAL_COMMAND,
    INFO_NOT_IN_CURRENT_STATE,
    INFO_NOT_INSTALLED,
    INFO_OS_RESOURCE_ERROR,
    INFO_QUEUE_BUSY,
    INFO_QUEUE_EMPTY,
    LIBRARY_SEND_LIMIT,
    LONGEST_WAIT_MS,
    MAX_MESSAGE_LENGTH,
    MAX_REQUEST_BODY,
    PROFILE_SIZE,
    Client,
    ControllerProfile,
    MessageResult,
    OpenResult,
    OpenStage,
    Outcome,
    ProfileResult,
    Source,
    TransportError,
)

# The project's version, the one of CMakeLists.txt's project() line (a test
# of the build compares them).
__version__ = "0.1.0"

__all__ = [
    "B3_BLOCK_SIZE",
    "INFO_DATA_LENGTH_NOT_SUPPORTED",
    "INFO_HOST_GONE",
    "INFO_ILLEGAL_APPL_ID",
    "INFO_ILLEGAL_COMMAND",
    "INFO_NOT_IN_CURRENT_STATE",
    "INFO_NOT_INSTALLED",
    "INFO_OS_RESOURCE_ERROR",
    "INFO_QUEUE_BUSY",
    "INFO_QUEUE_EMPTY",
    "LIBRARY_SEND_LIMIT",
    "LONGEST_WAIT_MS",
    "MAX_MESSAGE_LENGTH",
    "MAX_REQUEST_BODY",
    "PROFILE_SIZE",
    "Client",
    "ControllerProfile",
    "MessageResult",
    "OpenResult",
    "OpenStage",
    "Outcome",
    "ProfileResult",
    "Source",
    "TransportError",
    "__version__",
]
