// The filter description file: any lines become a table, each command is
// expanded with a hostile file name, and the table is matched against the
// input itself. Tags that name a program are left out, so that nothing is
// ever run.
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzzinput.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static bool once = (QuietReports(), true);
  (void)once;
  IfiUnloadFilters();
  const std::string text(reinterpret_cast<const char *>(data), size);
  size_t from = 0;
  while (from < text.size()) {
    size_t end = text.find('\n', from);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(from, std::min<size_t>(end - from, 1023));
    from = end + 1;
    if (line.size() > 1 && line[0] == '*') {
      char found[4096];
      const std::string program = line.substr(1, line.find_first_of(" \t\"\\") - 1);
      if (CmnFindProgram(program.c_str(), found, sizeof found)) continue;
    }
    if (IfiAddFilterLine(line.c_str()) == 2) break;
  }
  for (int slot = 0; slot < IFI_FILTER_SLOTS && filters[slot].tag; ++slot) {
    char *command = nullptr;
    IfiExpandFilterCommand(&command, slot, "x'; touch pwned; '$(id)%R", 300, 3000, 525, 720, 90);
    if (command) IfiFilterProgramExists(command);
    CmnStrFree(&command);
  }
  char *description = nullptr;
  IfiFindFilter(data, static_cast<int32_t>(size), &description);
  free(description);
  return 0;
}
