// SPDX-License-Identifier: MIT
// The library's own requests on the wire (register, release, get profile):
// recognising them and building their short-header replies and the profile.
#pragma once

#include "capi_bridge/capimsg.hpp"
#include "exchange.hpp"

#include <cstdint>

enum class library_request { none, register_application, release, get_profile, unknown };

// What a frame payload is: a CAPI message (none), one of the three library
// requests, or a library request too short or of a kind not known (unknown).
library_request classify(capimsg::byte_view payload);

// The register request's limits; payload classified as register_application.
registration read_registration(capimsg::byte_view payload);

// The controller asked for; payload classified as get_profile.
std::uint16_t read_profile_controller(capimsg::byte_view payload);

// The register reply, 2-byte header included, to go out in one write.
capimsg::bytes register_reply(std::uint16_t appl_id, std::uint16_t info);

// The get-profile reply, 2-byte header included. Controller 0 and every
// existing controller get a profile carrying the number of controllers; a
// controller that does not exist gets zeros (and 0x2002 in the info field,
// which the library does not read).
capimsg::bytes profile_reply(unsigned controllers, std::uint16_t controller);
