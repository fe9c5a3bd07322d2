// SPDX-License-Identifier: MIT
// CAPI 2.0 messages as plain bytes: little-endian fields, builders and readers
// for the messages a telephony or data application exchanges, info value texts
// and a one-line description for logs. No I/O and no platform headers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "capi_bridge/capi_fields.hpp"

namespace capimsg {

using bytes = std::vector<std::uint8_t>;
using byte_view = std::span<const std::uint8_t>;

// Little-endian fields. The caller guarantees offset + width <= b.size().
inline std::uint16_t get_u16(byte_view b, std::size_t offset) {
  return capi_fields::get_le16(b.data() + offset);
}
inline std::uint32_t get_u32(byte_view b, std::size_t offset) {
  return capi_fields::get_le32(b.data() + offset);
}
inline std::uint64_t get_u64(byte_view b, std::size_t offset) {
  return capi_fields::get_le64(b.data() + offset);
}
inline void put_u16(std::span<std::uint8_t> b, std::size_t offset, std::uint16_t v) {
  capi_fields::put_le16(b.data() + offset, v);
}
inline void append_u16(bytes& b, std::uint16_t v) {
  b.push_back(static_cast<std::uint8_t>(v));
  b.push_back(static_cast<std::uint8_t>(v >> 8));
}
inline void append_u32(bytes& b, std::uint32_t v) {
  append_u16(b, static_cast<std::uint16_t>(v));
  append_u16(b, static_cast<std::uint16_t>(v >> 16));
}
inline void append_u64(bytes& b, std::uint64_t v) {
  append_u32(b, static_cast<std::uint32_t>(v));
  append_u32(b, static_cast<std::uint32_t>(v >> 32));
}

namespace command {
inline constexpr std::uint8_t alert = 0x01;
inline constexpr std::uint8_t connect = 0x02;
inline constexpr std::uint8_t connect_active = 0x03;
inline constexpr std::uint8_t disconnect = capi_fields::command_disconnect;
inline constexpr std::uint8_t listen = 0x05;
inline constexpr std::uint8_t info = 0x08;
inline constexpr std::uint8_t select_b_protocol = 0x41;
inline constexpr std::uint8_t facility = 0x80;
inline constexpr std::uint8_t connect_b3 = 0x82;
inline constexpr std::uint8_t connect_b3_active = 0x83;
inline constexpr std::uint8_t disconnect_b3 = capi_fields::command_disconnect_b3;
inline constexpr std::uint8_t data_b3 = capi_fields::command_data_b3;
inline constexpr std::uint8_t reset_b3 = 0x87;
inline constexpr std::uint8_t connect_b3_t90_active = 0x88;
inline constexpr std::uint8_t manufacturer = 0xff;
} // namespace command

namespace subcommand {
inline constexpr std::uint8_t req = capi_fields::subcommand_req;
inline constexpr std::uint8_t conf = capi_fields::subcommand_conf;
inline constexpr std::uint8_t ind = capi_fields::subcommand_ind;
inline constexpr std::uint8_t resp = capi_fields::subcommand_resp;
} // namespace subcommand

// The info and reason values this code base names; info_text knows them all.
// A value that the bridge also produces has the bridge's name here: 0x1108,
// CAPI 2.0's "OS resource error" at message exchange, is host_gone, which is
// what libcapi20 means by it (its connection to the host has ended).
namespace info {
inline constexpr std::uint16_t no_error = 0x0000;
inline constexpr std::uint16_t flags_ignored = 0x0002;
inline constexpr std::uint16_t alert_already_sent = 0x0003;
inline constexpr std::uint16_t too_many_applications = 0x1001;
inline constexpr std::uint16_t logical_block_too_small = 0x1002;
inline constexpr std::uint16_t register_busy = 0x1007;
inline constexpr std::uint16_t os_resource_error = 0x1008;
inline constexpr std::uint16_t illegal_appl_id = 0x1101;
inline constexpr std::uint16_t illegal_command = 0x1102;
inline constexpr std::uint16_t queue_busy = 0x1103;
inline constexpr std::uint16_t queue_empty = 0x1104;
inline constexpr std::uint16_t host_gone = 0x1108;
inline constexpr std::uint16_t not_in_current_state = 0x2001;
inline constexpr std::uint16_t illegal_address = 0x2002;
inline constexpr std::uint16_t out_of_plci = 0x2003;
inline constexpr std::uint16_t out_of_ncci = 0x2004;
inline constexpr std::uint16_t illegal_parameter_coding = 0x2007;
inline constexpr std::uint16_t b1_not_supported = 0x3001;
inline constexpr std::uint16_t b2_not_supported = 0x3002;
inline constexpr std::uint16_t b3_not_supported = 0x3003;
inline constexpr std::uint16_t cip_unknown = 0x3009;
inline constexpr std::uint16_t facility_not_supported = 0x300B;
inline constexpr std::uint16_t data_length_not_supported = 0x300C;
inline constexpr std::uint16_t reset_not_supported = 0x300D;
inline constexpr std::uint16_t another_application_got_call = 0x3304;
// Clearing causes from the network: 0x3480 | the Q.850 cause value.
inline constexpr std::uint16_t network_cause_base = 0x3480;
inline constexpr std::uint16_t unallocated_number = 0x3481;
inline constexpr std::uint16_t normal_call_clearing = 0x3490;
inline constexpr std::uint16_t user_busy = 0x3491;
inline constexpr std::uint16_t no_user_responding = 0x3492;
inline constexpr std::uint16_t call_rejected = 0x3495;
} // namespace info

inline constexpr std::size_t header_length = capi_fields::header_size;
inline constexpr std::size_t data_b3_short_length = capi_fields::data_b3_size_without_data64;
inline constexpr std::size_t data_b3_long_length = capi_fields::data_b3_size_with_data64;

struct header {
  std::uint16_t length = 0; // of the whole message, header included
  std::uint16_t appl_id = 0;
  std::uint8_t command = 0;
  std::uint8_t subcommand = 0;
  std::uint16_t message_number = 0;
  bool operator==(const header&) const = default;
};

// The header of `message`, or nullopt if fewer than 8 bytes are given or the
// length field is below 8 or beyond the bytes given.
std::optional<header> read_header(byte_view message);

// A party number struct. The digits are IA5 characters. A number without
// digits is sent as an empty struct ("none given").
struct party_number {
  std::uint8_t type_plan = 0;    // type of number and numbering plan, 7 bits
  std::uint8_t presentation = 0; // presentation and screening, 7 bits; not in called numbers
  std::string digits;
  bool operator==(const party_number&) const = default;
};

// The B protocol struct. nullopt stands for the empty struct, which selects
// the default: B1 0 (64 kbit/s HDLC), B2 0 (X.75), B3 0 (transparent).
// The configuration structs are sent empty and skipped when reading.
struct b_protocol {
  std::uint16_t b1 = 0;
  std::uint16_t b2 = 0;
  std::uint16_t b3 = 0;
  bool operator==(const b_protocol&) const = default;
};

// The parameter sets. Each struct lists the parameters a message carries in
// their order on the wire; parameters not listed are sent as empty structs
// and skipped when reading. Every builder returns the complete message with
// its length field set; every reader returns nullopt when a parameter runs
// past the message's length field (or past the bytes given), and never reads
// beyond them. Readers do not check command and subcommand: dispatch first.

// Every CONF but DATA_B3_CONF and FACILITY_CONF.
struct conf {
  std::uint32_t address = 0; // controller, PLCI or NCCI as the command requires
  std::uint16_t info = 0;
  bool operator==(const conf&) const = default;
};
bytes build_conf(std::uint16_t appl_id, std::uint16_t number, std::uint8_t command, const conf& p);
std::optional<conf> read_conf(byte_view message);

// CONNECT_ACTIVE_RESP, DISCONNECT_RESP, INFO_RESP, CONNECT_B3_ACTIVE_RESP,
// DISCONNECT_B3_RESP, RESET_B3_RESP: nothing but the address. read_address
// reads the address of any message.
bytes build_address_only(std::uint16_t appl_id, std::uint16_t number, std::uint8_t command,
                         std::uint8_t subcommand, std::uint32_t address);
std::optional<std::uint32_t> read_address(byte_view message);

struct listen_req {
  std::uint32_t controller = 0;
  std::uint32_t info_mask = 0;
  std::uint32_t cip_mask = 0;
  std::uint32_t cip_mask2 = 0;
  party_number calling; // calling party subaddress follows, empty
  bool operator==(const listen_req&) const = default;
};
bytes build_listen_req(std::uint16_t appl_id, std::uint16_t number, const listen_req& p);
std::optional<listen_req> read_listen_req(byte_view message);

struct connect_req {
  std::uint32_t controller = 0;
  std::uint16_t cip = 0;
  party_number called;
  party_number calling;
  std::optional<b_protocol> b;
  bool operator==(const connect_req&) const = default;
};
bytes build_connect_req(std::uint16_t appl_id, std::uint16_t number, const connect_req& p);
std::optional<connect_req> read_connect_req(byte_view message);

struct connect_ind {
  std::uint32_t plci = 0;
  std::uint16_t cip = 0;
  party_number called;
  party_number calling;
  bool operator==(const connect_ind&) const = default;
};
bytes build_connect_ind(std::uint16_t appl_id, std::uint16_t number, const connect_ind& p);
std::optional<connect_ind> read_connect_ind(byte_view message);

struct connect_resp {
  std::uint32_t plci = 0;
  std::uint16_t reject = 0; // 0 accept, 1 ignore, 2.. reject with a reason
  std::optional<b_protocol> b;
  party_number connected;
  bool operator==(const connect_resp&) const = default;
};
bytes build_connect_resp(std::uint16_t appl_id, std::uint16_t number, const connect_resp& p);
std::optional<connect_resp> read_connect_resp(byte_view message);

struct connect_active_ind {
  std::uint32_t plci = 0;
  party_number connected;
  bool operator==(const connect_active_ind&) const = default;
};
bytes build_connect_active_ind(std::uint16_t appl_id, std::uint16_t number,
                               const connect_active_ind& p);
std::optional<connect_active_ind> read_connect_active_ind(byte_view message);

struct select_b_protocol_req {
  std::uint32_t plci = 0;
  std::optional<b_protocol> b;
  bool operator==(const select_b_protocol_req&) const = default;
};
bytes build_select_b_protocol_req(std::uint16_t appl_id, std::uint16_t number,
                                  const select_b_protocol_req& p);
std::optional<select_b_protocol_req> read_select_b_protocol_req(byte_view message);

// DISCONNECT_REQ: the PLCI and an empty additional info; read it with read_address.
bytes build_disconnect_req(std::uint16_t appl_id, std::uint16_t number, std::uint32_t plci);

struct disconnect_ind {
  std::uint32_t plci = 0;
  std::uint16_t reason = 0;
  bool operator==(const disconnect_ind&) const = default;
};
bytes build_disconnect_ind(std::uint16_t appl_id, std::uint16_t number, const disconnect_ind& p);
std::optional<disconnect_ind> read_disconnect_ind(byte_view message);

// CONNECT_B3_REQ (address: PLCI), CONNECT_B3_IND, CONNECT_B3_ACTIVE_IND,
// DISCONNECT_B3_REQ, RESET_B3_REQ and RESET_B3_IND (address: NCCI).
struct b3_ncpi {
  std::uint32_t address = 0;
  bytes ncpi; // content of the NCPI struct
  bool operator==(const b3_ncpi&) const = default;
};
bytes build_b3_ncpi(std::uint16_t appl_id, std::uint16_t number, std::uint8_t command,
                    std::uint8_t subcommand, const b3_ncpi& p);
std::optional<b3_ncpi> read_b3_ncpi(byte_view message);

struct connect_b3_resp {
  std::uint32_t ncci = 0;
  std::uint16_t reject = 0;
  bytes ncpi;
  bool operator==(const connect_b3_resp&) const = default;
};
bytes build_connect_b3_resp(std::uint16_t appl_id, std::uint16_t number, const connect_b3_resp& p);
std::optional<connect_b3_resp> read_connect_b3_resp(byte_view message);

struct disconnect_b3_ind {
  std::uint32_t ncci = 0;
  std::uint16_t reason_b3 = 0;
  bytes ncpi;
  bool operator==(const disconnect_b3_ind&) const = default;
};
bytes build_disconnect_b3_ind(std::uint16_t appl_id, std::uint16_t number,
                              const disconnect_b3_ind& p);
std::optional<disconnect_b3_ind> read_disconnect_b3_ind(byte_view message);

// DATA_B3_REQ and DATA_B3_IND. The 32-bit Data field is written as 0 and not
// read: it is a pointer in some other process. Built messages are 22 bytes
// long, or 30 with data64, and the data follows the message.
struct data_b3 {
  std::uint32_t ncci = 0;
  std::uint16_t handle = 0;
  std::uint16_t flags = 0;
  // Present exactly in the 30-byte form, which the bridge takes and which is
  // built unless this is std::nullopt (the 22-byte form).
  std::optional<std::uint64_t> data64 = std::uint64_t{0};
  bytes data;
  bool operator==(const data_b3&) const = default;
};
bytes build_data_b3(std::uint16_t appl_id, std::uint16_t number, std::uint8_t subcommand,
                    const data_b3& p);
// `message` is the message followed by whatever came with it. data receives
// the DataLength bytes that follow the message, or stays empty when fewer
// follow; data_length always holds the DataLength field.
struct data_b3_read {
  data_b3 fields;
  std::uint16_t data_length = 0;
};
std::optional<data_b3_read> read_data_b3(byte_view message);

struct data_b3_conf {
  std::uint32_t ncci = 0;
  std::uint16_t handle = 0;
  std::uint16_t info = 0;
  bool operator==(const data_b3_conf&) const = default;
};
bytes build_data_b3_conf(std::uint16_t appl_id, std::uint16_t number, const data_b3_conf& p);
std::optional<data_b3_conf> read_data_b3_conf(byte_view message);

struct data_b3_resp {
  std::uint32_t ncci = 0;
  std::uint16_t handle = 0;
  bool operator==(const data_b3_resp&) const = default;
};
bytes build_data_b3_resp(std::uint16_t appl_id, std::uint16_t number, const data_b3_resp& p);
std::optional<data_b3_resp> read_data_b3_resp(byte_view message);

// FACILITY_REQ, FACILITY_IND and FACILITY_RESP.
struct facility {
  std::uint32_t address = 0;
  std::uint16_t selector = 0;
  bytes parameter; // content of the request, indication or response parameter struct
  bool operator==(const facility&) const = default;
};
bytes build_facility(std::uint16_t appl_id, std::uint16_t number, std::uint8_t subcommand,
                     const facility& p);
std::optional<facility> read_facility(byte_view message);

struct facility_conf {
  std::uint32_t address = 0;
  std::uint16_t info = 0;
  std::uint16_t selector = 0;
  bytes parameter;
  bool operator==(const facility_conf&) const = default;
};
bytes build_facility_conf(std::uint16_t appl_id, std::uint16_t number, const facility_conf& p);
std::optional<facility_conf> read_facility_conf(byte_view message);

struct info_req {
  std::uint32_t address = 0; // controller or PLCI
  party_number called;       // additional info follows, empty
  bool operator==(const info_req&) const = default;
};
bytes build_info_req(std::uint16_t appl_id, std::uint16_t number, const info_req& p);
std::optional<info_req> read_info_req(byte_view message);

struct info_ind {
  std::uint32_t address = 0;
  std::uint16_t info_number = 0;
  bytes info_element;
  bool operator==(const info_ind&) const = default;
};
bytes build_info_ind(std::uint16_t appl_id, std::uint16_t number, const info_ind& p);
std::optional<info_ind> read_info_ind(byte_view message);

// Generic pieces for messages not covered above. begin_message writes the
// header with a zero length; append_struct writes a length-prefixed struct
// (0xff and a 16-bit length from 255 bytes on); finish_message sets the
// length field to the current size.
bytes begin_message(std::uint16_t appl_id, std::uint8_t command, std::uint8_t subcommand,
                    std::uint16_t number);
void append_struct(bytes& message, byte_view content);
void finish_message(bytes& message);

// The name of a command and subcommand, e.g. "CONNECT_B3_ACTIVE_IND", or
// "0x05/0x82" for a pair that CAPI 2.0 does not define.
std::string message_name(std::uint8_t command, std::uint8_t subcommand);

// A text for every info and reason value CAPI 2.0 defines (0x34xx: the
// network's clearing cause), and "unknown info value" for any other.
const char* info_text(std::uint16_t info);

// One line describing a message for logs, e.g.
// "CONNECT_REQ appl=1 msg=2 ctrl=1 cip=16 called=123 calling=456 b=default".
// Accepts any bytes; a message it cannot read is described as such.
std::string describe(byte_view message);

} // namespace capimsg
