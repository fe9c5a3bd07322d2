// SPDX-License-Identifier: MIT
// capi2032.dll (32-bit) and capi2064.dll (64-bit): the CAPI 2.0 interface
// of Windows programs, answered through capi-bridge.exe, one bridge per
// application. The exports and their ordinals are in capi2032.def and
// capi2064.def.
#include "capi20_interface.hpp"

#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string>

namespace ci = capi_interface;

namespace {

// The folder this DLL was loaded from, with a backslash at its end.
std::string dll_folder() {
  HMODULE self = nullptr;
  GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                         GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     reinterpret_cast<LPCSTR>(&dll_folder), &self);
  char path[MAX_PATH] = {};
  DWORD length = GetModuleFileNameA(self, path, MAX_PATH);
  std::string folder(path, length);
  return folder.substr(0, folder.find_last_of("\\/") + 1);
}

std::string environment(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

// "name=value" lines of capi-bridge.ini beside the DLL; lines starting with
// '#' or ';' are comments.
std::string setting(const std::string& folder, const std::string& name) {
  std::ifstream file(folder + "capi-bridge.ini");
  std::string line, found;
  while (std::getline(file, line)) {
    if (!line.empty() && line.back() == '\r')
      line.pop_back();
    if (line.empty() || line[0] == '#' || line[0] == ';')
      continue;
    auto equals = line.find('=');
    if (equals != std::string::npos && line.substr(0, equals) == name)
      found = line.substr(equals + 1);
  }
  return found;
}

void configure_once() {
  static std::once_flag once;
  std::call_once(once, [] {
    const std::string folder = dll_folder();
    ci::settings s;
    std::string bridge = environment("CAPI_BRIDGE_EXECUTABLE");
    s.bridge.command = {bridge.empty() ? folder + "capi-bridge.exe" : bridge};
    s.bridge.stderr_path = environment("CAPI_BRIDGE_STDERR");
    s.pointers = sizeof(void*) == 8 ? ci::data_pointer::data64 : ci::data_pointer::data32;
    // The lines on lost hosts go with the bridges' own, where they go.
    if (!s.bridge.stderr_path.empty())
      s.log_name = sizeof(void*) == 8 ? "capi2064.dll" : "capi2032.dll";
    std::string reconnect = environment("CAPI_BRIDGE_RECONNECT");
    if (reconnect.empty())
      reconnect = setting(folder, "reconnect");
    s.reconnect = reconnect != "0";
    ci::configure(s);
    std::string host = environment("CAPI_BRIDGE_HOST");
    std::string port = environment("CAPI_BRIDGE_PORT");
    if (host.empty())
      host = setting(folder, "host");
    if (port.empty())
      port = setting(folder, "port");
    ci::set_host(host);
    ci::set_port(std::atoi(port.c_str()));
  });
}

} // namespace

// Every export answers with an info value whatever happens inside: nothing
// thrown reaches the program.
extern "C" {

DWORD WINAPI CAPI_REGISTER(DWORD, DWORD maxLogicalConnection, DWORD maxBDataBlocks,
                           DWORD maxBDataLen, DWORD* pApplID) {
  if (pApplID == nullptr)
    return ci::info_os_resource_error;
  *pApplID = 0;
  return ci::answer_or<DWORD>(ci::info_os_resource_error, [&] {
    configure_once();
    unsigned id = 0;
    unsigned result =
        ci::register_application(maxLogicalConnection, maxBDataBlocks, maxBDataLen, id);
    *pApplID = id;
    return result;
  });
}

DWORD WINAPI CAPI_RELEASE(DWORD ApplID) {
  return ci::answer_or<DWORD>(ci::info_host_gone, [&] {
    configure_once();
    return ci::release(ApplID);
  });
}

DWORD WINAPI CAPI_PUT_MESSAGE(DWORD ApplID, PVOID pCAPIMessage) {
  return ci::answer_or<DWORD>(ci::info_host_gone, [&] {
    configure_once();
    return ci::put_message(ApplID, static_cast<const std::uint8_t*>(pCAPIMessage));
  });
}

DWORD WINAPI CAPI_GET_MESSAGE(DWORD ApplID, PVOID* ppCAPIMessage) {
  return ci::answer_or<DWORD>(ci::info_host_gone, [&] {
    configure_once();
    std::uint8_t* message = nullptr;
    unsigned result = ci::get_message(ApplID, ppCAPIMessage != nullptr ? &message : nullptr);
    if (ppCAPIMessage != nullptr)
      *ppCAPIMessage = message;
    return result;
  });
}

DWORD WINAPI CAPI_WAIT_FOR_SIGNAL(DWORD ApplID) {
  return ci::answer_or<DWORD>(ci::info_host_gone, [&] {
    configure_once();
    return ci::wait_for_message(ApplID, std::nullopt);
  });
}

DWORD WINAPI CAPI_GET_MANUFACTURER(char* SzBuffer) {
  return ci::answer_or<DWORD>(ci::info_host_gone, [&]() -> DWORD {
    configure_once();
    if (SzBuffer == nullptr)
      return ci::info_host_gone;
    std::strcpy(SzBuffer, ci::manufacturer());
    return 0;
  });
}

DWORD WINAPI CAPI_GET_VERSION(DWORD* CAPIMajor, DWORD* CAPIMinor, DWORD* ManufacturerMajor,
                              DWORD* ManufacturerMinor) {
  return ci::answer_or<DWORD>(ci::info_host_gone, [&]() -> DWORD {
    configure_once();
    unsigned four[4];
    ci::version(four);
    DWORD* places[] = {CAPIMajor, CAPIMinor, ManufacturerMajor, ManufacturerMinor};
    for (DWORD* place : places)
      if (place == nullptr)
        return ci::info_host_gone;
    for (int i = 0; i < 4; ++i)
      *places[i] = four[i];
    return 0;
  });
}

DWORD WINAPI CAPI_GET_SERIAL_NUMBER(char* SzBuffer) {
  return ci::answer_or<DWORD>(ci::info_host_gone, [&]() -> DWORD {
    configure_once();
    if (SzBuffer == nullptr)
      return ci::info_host_gone;
    std::strcpy(SzBuffer, ci::serial_number());
    return 0;
  });
}

DWORD WINAPI CAPI_GET_PROFILE(PVOID SzBuffer, DWORD CtrlNr) {
  return ci::answer_or<DWORD>(ci::info_host_gone, [&] {
    configure_once();
    return ci::get_profile(CtrlNr, static_cast<std::uint8_t*>(SzBuffer));
  });
}

DWORD WINAPI CAPI_INSTALLED(void) {
  return ci::answer_or<DWORD>(ci::info_os_resource_error, [] {
    configure_once();
    return ci::installed();
  });
}

} // extern "C"
