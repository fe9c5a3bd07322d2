// SPDX-License-Identifier: MIT
// The DATA_B3_IND messages that Get has handed out and the client has not yet
// answered. The library keeps each one's buffer until its DATA_B3_RESP and
// aborts the whole process on a response that answers nothing it holds, so
// Put lets a DATA_B3_RESP through only when it answers one of these.
#pragma once

#include <cstdint>

// Get handed out a DATA_B3_IND with this Data handle for this NCCI.
void note_data_b3_ind(std::uint16_t data_handle, std::uint32_t ncci);

// True when a DATA_B3_IND with this Data handle and NCCI is outstanding; it
// then counts as answered.
bool answer_data_b3_ind(std::uint16_t data_handle, std::uint32_t ncci);

// The library drops the DATA_B3_IND it holds for an NCCI when the client puts
// DISCONNECT_B3_RESP for it, and those of a PLCI when it hands out
// DISCONNECT_IND for it (comparing the low 16 bits of the NCCI with the whole
// PLCI field); these do the same.
void forget_data_b3_ind_of_ncci(std::uint32_t ncci);
void forget_data_b3_ind_of_plci(std::uint32_t plci);

// A new registration starts with nothing outstanding.
void forget_all_data_b3_ind();
