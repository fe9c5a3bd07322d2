// SPDX-License-Identifier: MIT
// The emulated exchange: registered applications, calls between them, the
// echo number, B3 connections and data flow control. It reads CAPI messages
// and queues the messages to send; it does no I/O of its own.
#pragma once

#include "capi_bridge/capimsg.hpp"

#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <vector>

// A message for the application on `connection`, without the frame header.
struct outgoing {
  int connection = 0;
  capimsg::bytes message;
};

// What the library sends in a register request.
struct registration {
  std::uint16_t max_logical_connections = 0;
  std::uint16_t max_b_data_blocks = 0;
  std::uint16_t max_b_data_len = 0;
};

struct application {
  std::uint16_t appl_id = 0;
  registration limits;
  std::vector<std::uint32_t> cip_masks; // by controller number; 0: not listening
  std::uint16_t next_number = 0;        // message numbers of indications
};

enum class leg_state { calling, offered, active, clearing };
enum class b3_state { none, outgoing, incoming, active, clearing };

// A DATA_B3_REQ waiting for the receiving application's window.
struct data_block {
  int origin_connection = 0;
  std::uint16_t origin_number = 0;
  std::uint32_t origin_ncci = 0;
  std::uint16_t origin_handle = 0;
  std::uint16_t conf_info = 0;
  capimsg::bytes data;
  std::size_t indicated = 0; // bytes of `data` already handed to the receiver
};

// One application's end of a call, known to it by its PLCI.
struct leg {
  int connection = 0;
  std::uint32_t plci = 0;
  int call = -1; // -1 once the leg is clearing and out of its call
  leg_state state = leg_state::calling;
  b3_state b3 = b3_state::none;
  std::uint32_t ncci = 0;
  std::uint16_t ncci_count = 0;
  std::deque<data_block> inbound;       // data for this leg, not yet indicated
  std::vector<std::uint16_t> in_flight; // our handles of unanswered DATA_B3_INDs
  std::uint16_t next_handle = 0;
};

struct call {
  std::uint32_t controller = 0;
  std::uint16_t cip = 0;
  capimsg::party_number called;
  capimsg::party_number calling;
  bool echo = false;
  bool alerted = false;
  int caller = -1; // leg ids; -1 when gone
  int answerer = -1;
  std::vector<int> offered; // legs that got CONNECT_IND and have not answered
  std::uint16_t reject_reason = 0;
};

struct exchange_settings {
  unsigned controllers = 1;
  std::string echo_number = "999";
  std::uint16_t first_appl_id = 1;
};

struct exchange {
  exchange_settings settings;
  std::map<int, application> applications; // by connection
  std::map<int, leg> legs;
  std::map<int, call> calls;
  int next_id = 1;
  std::vector<outgoing> out;      // filled by the functions below; the caller empties it
  std::vector<std::string> notes; // why a message got no answer, for the log
};

// The largest number of unanswered DATA_B3_INDs per B3 connection and
// direction, and of DATA_B3_REQs waiting behind them.
inline constexpr std::size_t data_window = 7;

// Registers an application on `connection`. Returns the info value for the
// register reply: 0 with `appl_id` set to the lowest free ID from
// first_appl_id to 1023, or 0x1001 (no ID free), 0x1002 (MaxBDataLen below
// 128) or 0x1007 (this connection already has an application).
std::uint16_t register_application(exchange& ex, int connection, const registration& limits,
                                   std::uint16_t& appl_id);

// Handles one CAPI message received on `connection` (`frame` is the whole
// frame payload: the message and any data after it). Every request gets its
// confirmation; responses that answer nothing are dropped with a note.
void handle_message(exchange& ex, int connection, capimsg::byte_view frame);

// The application on `connection` released or its connection closed: its
// calls end as if it had hung up, and its state goes. Does nothing for a
// connection without an application.
void application_gone(exchange& ex, int connection);
