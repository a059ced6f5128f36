// TGZip: compresses each selected file into a GZIP file of its own (one member per file). The
// TAR writer uses it to turn a finished tar archive into a .gz file.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "archive/core/qrvBase.h"

// How the output name is formed from the source name (order binding).
enum TGZipExt : uint8_t { exNone, exAppendGZ, exUnderScore };

// The listing name of a gzip-family file's method: Method is the gzip method byte, Magic the
// file's first two bytes (big-endian: 0x1F1E pack, 0x1FA0 LZH); "Unsupported" for the rest.
std::string GZipMethodName(int Method, uint16_t Magic);

class TGZip : public TCompBase {
 public:
  TGZip();

  TGZipExt Extension = exAppendGZ;

  // Asked when ConfirmOverwrites is set and the output exists (OverwriteMode starts omOverwrite).
  std::function<void(TZipCommon* Sender, const std::string& FileName, TDateTime FileDate,
                     TOverwriteMode& OverwriteMode)>
      OnFileExists;

  // "/" stays the separator; a name without extension gets DefaultExt; clears the stub offset
  // and the CancelFlag.
  void SetArchiveFile(const std::string& Value) override;

  // Compresses every file FileSpec selects; returns the number of files compressed.
  int Compress() override;

  // Single-output mode (set by the TAR writer): the output is named OutputName when given, else
  // output folder + the source's file name + DefaultExt.
  bool SingleOutput = false;
  std::string OutputName;
  // The folder outputs go to (with trailing "/"); "" takes ArchiveFile's folder.
  std::string OutputDir;

  // The output name of Source by Extension (exposed for tests).
  std::string OutputNameFor(const std::string& Source, const std::string& Dir) const;

 private:
  // Writes one member; false when the file was not compressed.
  bool WriteMember(const std::string& Source, const std::string& Output, const TFileInfo& Info, uint32_t& Crc);
  bool ConfirmOverwrite(const std::string& Output, const TFileInfo& Source, bool& EndRun);
  bool BeginFile(const std::string& Source);
};
