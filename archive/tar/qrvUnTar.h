// TUnTar: extracts, tests or lists tape archives. A first pass walks the headers and selects
// entries by the entry masks; a second pass copies each selected file out.
#pragma once

#include <vector>

#include "archive/core/qrvBase.h"
#include "archive/tar/qrvtar.h"

// The listing name of a tar entry's method: "Tarred" for 0, the only one.
std::string TarMethodName(int Method);

class TUnTar : public TUnBase {
 public:
  TUnTar();

 protected:
  int ExtractArchive(TStream32& Stream, int Flag) override;

 private:
  int ExtractTar(TStream32& Stream);
  int ExtractTarOnePass(TStream32& Stream);
  // Progress by the compressed bytes the decoding stream has read.
  void StepPacked();
  // Selects the entries the masks accept; returns their count.
  int SelectEntries(TStream32& Stream, std::vector<TTarEntry>& Selected);
  void ListEntry(const TTarEntry& E);
  void ExtractEntry(TStream32& Stream, const TTarEntry& E);
  // Reports an entry that is not made (a device or FIFO, an unknown type, a damaged sparse
  // map) once with the reason; true for those.
  bool RefuseEntry(const TTarEntry& E);
  // After a walk: damaged headers, and a cut (Selected: the entries selected, or the last one).
  void ReportWalk(const TTarWalker& Walker, const std::vector<TTarEntry>& Selected);
  // Reports an archive cut short that no entry's copy will report.
  void ReportCut(const TTarWalker& Walker, const std::vector<TTarEntry>& Selected);
  // Copies the entry's data to the block writer (a sparse file's fragments at their offsets);
  // false when the archive ended early or the output refused the data.
  bool CopyData(TStream32& Stream, const TTarEntry& E);
  bool CopyBytes(TStream32& Stream, int64_t Count);
  // Leaves Count bytes of the output as a hole (a forward seek; nothing when testing).
  bool SkipHole(int64_t Count);

  // A compressed tar: its decoding stream. Its failure is the one cause of every cut that
  // follows, reported once: by the copy it cut short, else after the run.
  TDecodeStream* FDecoder = nullptr;
  bool FDecoderReported = false;
  int64_t FPackedSize = 0;  // its compressed size
  bool DecoderFailed() const { return FDecoder && FDecoder->Error().Code != 0; }
};
