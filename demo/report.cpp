// SPDX-License-Identifier: MIT
// Tables and the progress bar of capi-bridge-demo.
#include "report.hpp"

#include <algorithm>

#include <chrono>
#include <cstdio>

using namespace capi_bridge;

namespace {

std::string bit_names(std::uint32_t mask, std::string (*name)(unsigned)) {
  std::string out;
  for (unsigned bit = 0; bit < 32; ++bit) {
    if ((mask >> bit & 1) == 0)
      continue;
    std::string n = name(bit);
    out += (out.empty() ? "" : ", ") + (n.empty() ? "bit " + std::to_string(bit) : n);
  }
  return out.empty() ? "none" : out;
}

void row(const char* label, std::uint32_t mask, std::string (*name)(unsigned)) {
  std::printf("  %-16s 0x%08lx  %s\n", label, static_cast<unsigned long>(mask),
              bit_names(mask, name).c_str());
}

std::string microseconds(std::chrono::nanoseconds t) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f us", static_cast<double>(t.count()) / 1000.0);
  return text;
}

std::string kibibytes(std::uint64_t n) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f KiB", static_cast<double>(n) / 1024.0);
  return text;
}

} // namespace

void print_profile(std::uint32_t controller, const controller_profile& p) {
  std::printf("Controller %lu\n", static_cast<unsigned long>(controller));
  std::printf("  %-16s %u\n", "B channels", p.b_channels);
  row("global options", p.global_options, global_option_name);
  row("B1 protocols", p.b1_protocols, b1_protocol_name);
  row("B2 protocols", p.b2_protocols, b2_protocol_name);
  row("B3 protocols", p.b3_protocols, b3_protocol_name);
  std::string text;
  for (std::size_t i = 44; i < 64 && p.raw[i] != 0; ++i)
    text += p.raw[i] >= 0x20 && p.raw[i] < 0x7f ? static_cast<char>(p.raw[i]) : '.';
  std::printf(
      "  %-16s %08lx %08lx %08lx %08lx %08lx  \"%s\"\n", "manufacturer",
      static_cast<unsigned long>(p.manufacturer[0]), static_cast<unsigned long>(p.manufacturer[1]),
      static_cast<unsigned long>(p.manufacturer[2]), static_cast<unsigned long>(p.manufacturer[3]),
      static_cast<unsigned long>(p.manufacturer[4]), text.c_str());
}

void progress_bar::show(std::uint64_t done) {
  if (!terminal_) {
    // A line at each quarter reached, saying what was done then; quarters
    // passed at once make one line.
    int percent =
        total_ == 0 ? 100 : static_cast<int>(std::min<std::uint64_t>(done * 100 / total_, 100));
    int reached = percent / 25;
    if (reached > quarters_shown_) {
      quarters_shown_ = reached;
      std::printf("  %3d%%  %s of %s\n", percent, kibibytes(done).c_str(),
                  kibibytes(total_).c_str());
    }
    std::fflush(stdout);
    return;
  }
  auto now_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                    std::chrono::steady_clock::now().time_since_epoch())
                    .count();
  // Redrawn at most 20 times a second, and always at the end.
  if ((now_ms - last_draw_ms_ < 50 && done < total_) || (drawn_ && done == last_drawn_))
    return;
  constexpr int width = 40;
  auto filled = static_cast<int>(total_ == 0 ? width : done * width / total_);
  std::string bar(static_cast<std::size_t>(filled), '#');
  bar.resize(width, '.');
  std::printf("\r  [%s] %3d%%  %s of %s ", bar.c_str(),
              static_cast<int>(total_ == 0 ? 100 : done * 100 / total_), kibibytes(done).c_str(),
              kibibytes(total_).c_str());
  std::fflush(stdout);
  drawn_ = true;
  last_drawn_ = done;
  last_draw_ms_ = now_ms;
}

void progress_bar::finish() {
  if (terminal_ && drawn_)
    std::printf("\n");
  std::fflush(stdout);
}

void print_summary(const std::vector<side_summary>& sides) {
  std::printf("\n%-26s", "");
  for (const side_summary& s : sides)
    std::printf("%16s", s.name.c_str());
  std::printf("\n");
  auto line = [&](const char* label, auto value) {
    std::printf("%-26s", label);
    for (const side_summary& s : sides)
      std::printf("%16s", value(s).c_str());
    std::printf("\n");
  };
  auto counted = [&](const char* label, auto value) {
    line(label, [&](const side_summary& s) { return value(s.end->counters()); });
  };
  auto count = [](std::uint64_t n) { return std::to_string(n); };
  counted("requests", [&](const traffic& t) { return count(t.requests); });
  counted("messages to the host", [&](const traffic& t) { return count(t.messages_put); });
  counted("messages from the host", [&](const traffic& t) { return count(t.messages_got); });
  counted("B3 data sent", [&](const traffic& t) { return kibibytes(t.b3_bytes_put); });
  counted("B3 data received", [&](const traffic& t) { return kibibytes(t.b3_bytes_got); });
  counted("bytes to the bridge", [&](const traffic& t) { return count(t.bytes_written); });
  counted("bytes from the bridge", [&](const traffic& t) { return count(t.bytes_read); });
  for (double p : {0.50, 0.90, 0.99}) {
    std::string label = "round trip p" + std::to_string(static_cast<int>(p * 100));
    line(label.c_str(),
         [&](const side_summary& s) { return microseconds(s.round_trips->percentile(p)); });
  }
}
