// Row 4: DATA_B3 blocks between two applications through Debian's libcapi20
// and the emulated CAPI host.
#include "rows.hpp"

void library_rows(const bench_settings&, table& t) {
  t.rows.push_back(
      {"4", "DATA_B3 blocks/s between two applications", "pending", "pending", "-", "≥ 0.8", "-"});
}
