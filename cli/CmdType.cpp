// brel-cli type FILE...: the archive type detected by content and where the archive begins.
#include <unistd.h>

#include <iostream>

#include "archive/core/qrvErrors.h"
#include "archive/core/qrvRegister.h"
#include "archive/qrvFormats.h"
#include "cli/CliCommon.h"
#include "platform/FileInfo.h"

namespace {

std::string TrimRight(std::string s) {
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.pop_back();
  return s;
}

// One line per file: "FILE: DISPLAY" (with -v "FILE: DISPLAY (VALUE) start OFFSET";
// unrecognised files have no start).
int RunType(TCli& Cli, const TParsedArgs& Args) {
  if (Args.Positional.empty()) throw TUsageError("no FILE given");
  for (const std::string& arg : Args.Positional) {
    if (TCli::Interrupted()) break;
    const std::string path = AbsolutePath(arg);
    TFileInfo info;
    if (!GetFileInfo(path, info)) {
      Cli.Error(ecFileNotFound, arg);
      continue;
    }
    if (info.IsDir || access(path.c_str(), R_OK) != 0) {
      Cli.Error(ecOpenFile, arg);
      continue;
    }
    TArvexComponent c;
    c.SetArchiveFile(path);
    if (c.ArchiveFile().empty()) {
      Cli.Error(ecOpenFile, arg);
      continue;
    }
    const TArcType t = c.ArcType();
    // A reader that tells its files apart more finely than detection names them itself.
    const TFormatRow* format = ReaderFormatFor(t, path);
    const std::string finer = format && format->Describe ? format->Describe(path) : std::string();
    std::cout << arg << ": " << (finer.empty() ? TrimRight(GetArcTypeName(t)) : finer);
    if (Args.Has("-v")) {
      // The identifier stays the detected type's (atNA, atGZip, atRar...).
      std::cout << " (" << GetArcTypeValueName(t) << ')';
      if (IsValidArcType(t) || !finer.empty()) std::cout << " start " << (finer.empty() ? c.ArchiveStart() : 0);
    }
    std::cout << '\n';
  }
  return Cli.Status();
}

const TRegisterCommand kRegister("type", {"FILE...",
                                          "the archive type of each FILE, detected from its content",
                                          {{"-v", "", "also the type's identifier and where the archive starts"}},
                                          RunType,
                                          10});

}  // namespace
