// SPDX-License-Identifier: MIT
// Bookkeeping of outstanding DATA_B3_IND messages, in one fixed table indexed
// by Data handle: nothing is allocated while serving.
#include "capi/incoming_data.hpp"

#include <cstring>

namespace {

struct outstanding_ind {
  std::uint32_t ncci;
  bool outstanding;
};

outstanding_ind outstanding_table[65536];
// One past the highest handle ever noted: the sweeps go no further.
std::uint32_t handles_in_use = 0;

template <typename Match> void forget_where(Match matches) {
  for (std::uint32_t h = 0; h < handles_in_use; ++h)
    if (outstanding_table[h].outstanding && matches(outstanding_table[h].ncci))
      outstanding_table[h].outstanding = false;
}

} // namespace

void note_data_b3_ind(std::uint16_t data_handle, std::uint32_t ncci) {
  outstanding_table[data_handle] = {ncci, true};
  if (data_handle >= handles_in_use)
    handles_in_use = data_handle + 1u;
}

bool answer_data_b3_ind(std::uint16_t data_handle, std::uint32_t ncci) {
  outstanding_ind& entry = outstanding_table[data_handle];
  if (!entry.outstanding || entry.ncci != ncci)
    return false;
  entry.outstanding = false;
  return true;
}

void forget_data_b3_ind_of_ncci(std::uint32_t ncci) {
  forget_where([ncci](std::uint32_t held) { return held == ncci; });
}

void forget_data_b3_ind_of_plci(std::uint32_t plci) {
  forget_where([plci](std::uint32_t held) { return (held & 0xFFFF) == plci; });
}

void forget_all_data_b3_ind() {
  std::memset(outstanding_table, 0, sizeof outstanding_table);
  handles_in_use = 0;
}
