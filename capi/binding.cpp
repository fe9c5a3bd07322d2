// SPDX-License-Identifier: MIT
// Loading libcapi20 and resolving its entry points by name.
#include "capi/binding.hpp"

#include "platform/platform.hpp"

capi_entry_table_type capi_entry_table = {};
capi_optional_entry_table_type capi_optional_entry_table = {};
unsigned current_appl_id = 0;
registration_values next_registration;

namespace {

template <typename Function> bool resolve(void* library, Function& slot, const char* name) {
  slot = reinterpret_cast<Function>(platform_find_symbol(library, name));
  return slot != nullptr;
}

} // namespace

bool load_capi_library() {
  void* library = platform_load_library(capi_library_file_name);
  if (library == nullptr)
    return false;
  capi_entry_table_type& t = capi_entry_table;
  // Every slot is written, even after a miss, so that Profile still finds
  // capi20_get_profile in a library that lacks another entry point.
  bool complete = resolve(library, t.capi20_isinstalled, "capi20_isinstalled");
  complete &= resolve(library, t.capi20ext_set_driver, "capi20ext_set_driver");
  complete &= resolve(library, t.capi20ext_set_host, "capi20ext_set_host");
  complete &= resolve(library, t.capi20ext_set_port, "capi20ext_set_port");
  complete &= resolve(library, t.capi20_register, "capi20_register");
  complete &= resolve(library, t.capi20_release, "capi20_release");
  complete &= resolve(library, t.capi20_put_message, "capi20_put_message");
  complete &= resolve(library, t.capi20_get_message, "capi20_get_message");
  complete &= resolve(library, t.capi20_waitformessage, "capi20_waitformessage");
  complete &= resolve(library, t.capi20_get_profile, "capi20_get_profile");
  resolve(library, capi_optional_entry_table.capi20_fileno, "capi20_fileno");
  return complete;
}

void reset_binding() {
  capi_entry_table = {};
  capi_optional_entry_table = {};
  current_appl_id = 0;
  next_registration = {};
}

void release_current_application() {
  if (current_appl_id != 0 && capi_entry_table.capi20_release != nullptr)
    capi_entry_table.capi20_release(current_appl_id);
  current_appl_id = 0;
}
