// SPDX-License-Identifier: MIT
// The run-time binding of the CAPI library: its ten entry points, the loader
// that fills them, and the one application ID the CAPI requests share.
#pragma once

struct timeval;

// Every application is registered for at most this many unconfirmed B3
// data blocks of at most this many bytes, unless its client asks for fewer
// or smaller ones ("R"); no block the bridge carries is larger.
constexpr unsigned registered_b3_data_blocks = 7;
constexpr unsigned registered_b3_block_size = 2048;
// The smallest block CAPI 2.0 lets an application register.
constexpr unsigned smallest_b3_block_size = 128;

// What the next Open registers: the defaults above unless the client asked
// otherwise.
struct registration_values {
  unsigned b3_data_blocks = registered_b3_data_blocks;
  unsigned b3_block_size = registered_b3_block_size;
};
extern registration_values next_registration;
// Debian's library receives each message, a DATA_B3_IND's data included,
// into a buffer of this size (128 bytes more than the block size).
constexpr unsigned library_message_buffer = 128 + registered_b3_block_size;

// Entry points in the order of resolution and of the completeness test.
// Signatures as the library declares them.
struct capi_entry_table_type {
  unsigned (*capi20_isinstalled)();
  void (*capi20ext_set_driver)(char* driver);
  void (*capi20ext_set_host)(char* host);
  void (*capi20ext_set_port)(int port);
  unsigned (*capi20_register)(unsigned max_logical_connections, unsigned max_b_data_blocks,
                              unsigned max_b_data_length, unsigned* appl_id);
  unsigned (*capi20_release)(unsigned appl_id);
  unsigned (*capi20_put_message)(unsigned appl_id, unsigned char* message);
  unsigned (*capi20_get_message)(unsigned appl_id, unsigned char** message);
  unsigned (*capi20_waitformessage)(unsigned appl_id, timeval* timeout);
  unsigned (*capi20_get_profile)(unsigned controller, unsigned char* profile);
};

// All slots empty at start; filled only by load_capi_library.
extern capi_entry_table_type capi_entry_table;

// Entry points the bridge uses when the library has them and does without
// otherwise; resolved with the ten, never part of the completeness test.
struct capi_optional_entry_table_type {
  // The descriptor of an application's connection to its host, -1 when
  // there is none; lets the bridge wait for a message and for its own input
  // at once.
  int (*capi20_fileno)(unsigned appl_id);
};
extern capi_optional_entry_table_type capi_optional_entry_table;

// The registered application, 0 when none. capi20_register writes it directly.
extern unsigned current_appl_id;

// Loads the library by its file name and resolves all ten entry points,
// overwriting every slot, an unresolved one with nullptr, and then the
// optional ones. Returns true only when all ten were found. When the file
// cannot be loaded, returns false and leaves both tables as they were. The
// library is never unloaded.
bool load_capi_library();

// Releases current_appl_id with the library if one is registered (result
// ignored) and sets it to 0.
void release_current_application();

// Forgets the registered application and the client's registration values,
// and empties both tables, as at start (the library stays loaded); for a
// driver that runs the request loop more than once in one process.
void reset_binding();
