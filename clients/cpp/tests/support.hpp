// SPDX-License-Identifier: MIT
// What the client library's tests share: the bridge under test, request
// bodies and frames built by hand, DATA_B3_REQs, and the library's
// machine-wide table of application IDs.
#pragma once

#include "capi_bridge/client.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// The bridge under test: CAPI_BRIDGE_EXECUTABLE, or the native build.
std::string bridge_executable();

// A request body: the kind letter, then `rest`.
capi_bridge::bytes with_kind(std::uint8_t kind, capi_bridge::bytes rest);
// A request frame: the body's length, then the body.
capi_bridge::bytes frame(const capi_bridge::bytes& body);
// The frame of an Open of 127.0.0.1:`port` with room for 2 connections.
capi_bridge::bytes open_frame(std::uint16_t port);

// A DATA_B3_REQ on NCCI 0x10101 carrying `data_length` bytes of 0x55 after
// it, in its 30-byte form or, without Data64, in its 22-byte form.
capi_bridge::bytes data_b3_req(std::uint16_t data_length, std::uint16_t handle = 1,
                               bool with_data64 = true);

// The application IDs the library's table in /dev/shm marks as in use;
// nullopt when there is no table.
std::optional<std::vector<unsigned>> ids_in_use();
