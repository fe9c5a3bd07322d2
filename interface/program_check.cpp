// SPDX-License-Identifier: MIT
// capi-bridge-run's look at a program's file: set-ID bits, the ELF class, a
// dynamic loader at all, and what the program and its libraries import.
#include "program_check.hpp"

#include <elf.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <set>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

namespace capi_interface {

namespace {

// The path execvp would run for `program`, or empty.
std::string find_on_path(const std::string& program) {
  if (program.find('/') != std::string::npos)
    return program;
  const char* path = std::getenv("PATH");
  std::stringstream folders(path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin");
  for (std::string folder; std::getline(folders, folder, ':');) {
    std::string candidate = (folder.empty() ? "." : folder) + "/" + program;
    struct stat st {};
    if (stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
        access(candidate.c_str(), X_OK) == 0)
      return candidate;
  }
  return {};
}

// A file mapped for reading, unmapped at the end of its scope.
struct mapped_file {
  const unsigned char* bytes = nullptr;
  std::size_t size = 0;

  explicit mapped_file(const std::string& path) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
      return;
    struct stat st {};
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
      void* at = mmap(nullptr, static_cast<std::size_t>(st.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
      if (at != MAP_FAILED) {
        bytes = static_cast<const unsigned char*>(at);
        size = static_cast<std::size_t>(st.st_size);
      }
    }
    close(fd);
  }
  ~mapped_file() {
    if (bytes != nullptr)
      munmap(const_cast<unsigned char*>(bytes), size);
  }
  mapped_file(const mapped_file&) = delete;
  mapped_file& operator=(const mapped_file&) = delete;

  // The `count` records of `T` at `offset`, or nullptr where they do not fit.
  template <typename T> const T* at(std::uint64_t offset, std::uint64_t count = 1) const {
    if (offset > size || count > (size - offset) / sizeof(T))
      return nullptr;
    return reinterpret_cast<const T*>(bytes + offset);
  }
};

bool is_elf64(const mapped_file& f) {
  const auto* header = f.at<Elf64_Ehdr>(0);
  return header != nullptr && std::memcmp(header->e_ident, ELFMAG, SELFMAG) == 0 &&
         header->e_ident[EI_CLASS] == ELFCLASS64;
}

bool has_loader(const mapped_file& f) {
  const auto* header = f.at<Elf64_Ehdr>(0);
  const auto* segments = f.at<Elf64_Phdr>(header->e_phoff, header->e_phnum);
  if (segments == nullptr)
    return true; // not understood: say nothing
  for (int i = 0; i < header->e_phnum; ++i)
    if (segments[i].p_type == PT_INTERP)
      return true;
  return false;
}

// Whether the ELF file imports one of the functions by which a program
// comes to libcapi20 other than by linking it: opening a library, or running
// another program (which capi-bridge-run serves too). Unreadable: true.
bool imports_a_way_in(const std::string& path) {
  static const std::set<std::string, std::less<>> ways = {
      "dlopen", "dlmopen", "execve",  "execv",       "execvp",       "execvpe", "execl",
      "execlp", "execle",  "fexecve", "posix_spawn", "posix_spawnp", "system",  "popen"};
  mapped_file f(path);
  if (!is_elf64(f))
    return true;
  const auto* header = f.at<Elf64_Ehdr>(0);
  const auto* sections = f.at<Elf64_Shdr>(header->e_shoff, header->e_shnum);
  if (sections == nullptr)
    return true;
  for (int i = 0; i < header->e_shnum; ++i) {
    const Elf64_Shdr& symbols = sections[i];
    if (symbols.sh_type != SHT_DYNSYM || symbols.sh_link >= header->e_shnum)
      continue;
    const Elf64_Shdr& strings = sections[symbols.sh_link];
    const auto* names = f.at<char>(strings.sh_offset, strings.sh_size);
    const auto* entries = f.at<Elf64_Sym>(symbols.sh_offset, symbols.sh_size / sizeof(Elf64_Sym));
    if (names == nullptr || entries == nullptr)
      return true;
    for (std::uint64_t s = 0; s < symbols.sh_size / sizeof(Elf64_Sym); ++s) {
      if (entries[s].st_shndx != SHN_UNDEF || entries[s].st_name >= strings.sh_size)
        continue;
      const char* name = names + entries[s].st_name;
      if (ways.contains(
              std::string_view(name, strnlen(name, strings.sh_size - entries[s].st_name))))
        return true;
    }
  }
  return false;
}

// The libraries the system's loader would load for `path` (it lists them
// without running the program), or nothing where it cannot tell.
std::vector<std::string> libraries_of(const std::string& path) {
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0)
    return {};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  std::string loader = "/lib64/ld-linux-x86-64.so.2", list = "--list";
  std::vector<char*> argv = {loader.data(), list.data(), const_cast<char*>(path.c_str()), nullptr};
  pid_t pid = -1;
  int spawned = posix_spawn(&pid, loader.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  std::string text;
  char buffer[4096];
  for (ssize_t got; spawned == 0 && (got = read(out[0], buffer, sizeof buffer)) != 0;) {
    if (got < 0 && errno == EINTR)
      continue;
    if (got < 0)
      break;
    text.append(buffer, static_cast<std::size_t>(got));
  }
  close(out[0]);
  int status = 0;
  if (spawned != 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status) ||
      WEXITSTATUS(status) != 0)
    return {};
  // "\tlibc.so.6 => /lib/x86_64-linux-gnu/libc.so.6 (0x...)", or the
  // loader's own line, a path first.
  std::vector<std::string> libraries;
  std::stringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    std::size_t arrow = line.find("=> ");
    std::size_t start = arrow != std::string::npos ? arrow + 3 : line.find_first_not_of(" \t");
    if (start == std::string::npos || line.compare(start, 1, "/") != 0)
      continue;
    libraries.push_back(line.substr(start, line.find(" (", start) - start));
  }
  return libraries;
}

program_check check(const std::string& given) {
  std::string path = find_on_path(given);
  struct stat st {};
  if (path.empty() || stat(path.c_str(), &st) != 0)
    return {};
  // The loader drops LD_PRELOAD where running the program changes who it
  // runs as; a file system mounted nosuid changes nothing.
  struct statvfs fs {};
  bool set_id_honoured = statvfs(path.c_str(), &fs) != 0 || (fs.f_flag & ST_NOSUID) == 0;
  if (set_id_honoured && (st.st_mode & S_ISUID) != 0 && st.st_uid != getuid())
    return {given + " is set-user-ID: the loader preloads nothing into it, and its CAPI calls "
                    "go to libcapi20 directly, without bridges"};
  if (set_id_honoured && (st.st_mode & S_ISGID) != 0 && st.st_gid != getgid())
    return {given + " is set-group-ID: the loader preloads nothing into it, and its CAPI calls "
                    "go to libcapi20 directly, without bridges"};
  mapped_file f(path);
  const auto* ident = f.at<unsigned char>(0, EI_NIDENT);
  if (ident == nullptr || std::memcmp(ident, ELFMAG, SELFMAG) != 0)
    return {}; // a script, whose interpreter is checked by nobody
  if (ident[EI_CLASS] != ELFCLASS64)
    return {given + " is a 32-bit program: the 64-bit library that answers its CAPI calls "
                    "cannot go into it, and its calls go to libcapi20 directly"};
  if (!has_loader(f))
    return {given + " is statically linked: nothing can be preloaded into it, and its CAPI calls "
                    "go to the library built into it, without bridges"};
  std::vector<std::string> libraries = libraries_of(path);
  if (libraries.empty())
    return {};
  libraries.push_back(path);
  for (const std::string& library : libraries)
    if (is_libcapi20(library) || imports_a_way_in(library))
      return {};
  return {given + " neither links libcapi20 nor opens libraries or starts programs: it will "
                  "make no CAPI call (--quiet: say nothing of this)",
          true};
}

} // namespace

program_check check_program(const std::string& program) {
  try {
    return check(program);
  } catch (...) {
    return {}; // out of memory: the exec will do without the check
  }
}

} // namespace capi_interface
