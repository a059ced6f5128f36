// brel-cli: the archive components from a shell. Commands live in cli/Cmd*.cpp.
#include <string>
#include <vector>

#include "cli/CliCommon.h"
#include "platform/DosTime.h"

int main(int argc, char** argv) {
  ReadTimeZoneOnce();
  return CliMain(std::vector<std::string>(argv + 1, argv + argc));
}
