// TUnCab: extracts, tests or lists cabinets (and cabinet sets) through the decompress context
// of our cabinet library. A selection pass counts what the masks select, an extraction pass
// writes it.
#pragma once

#include <map>
#include <memory>
#include <string>

#include "archive/cab/qrvLoadLib.h"
#include "archive/core/qrvBase.h"
#include "archive/core/qrvStoredNames.h"

class TUnCab : public TUnBase {
 public:
  TUnCab();
  ~TUnCab() override;

  const TCabError& CabError() const { return FErr; }
  // Set information of the cabinet of the last extraction pass.
  uint16_t SetID() const { return FSetID; }
  uint16_t CabinetNumber() const { return FCabinetNumber; }
  // Threads decoding ahead of the files being written: 0 one per core, 1 none (all work on the
  // caller's thread). Output, reports and their order are the same whatever the count.
  int Workers = 0;

 protected:
  // A file that is no cabinet: nothing extracted, nothing reported.
  int ExtractArchive(TStream32& Stream, int Flag) override;
  // The next cabinet the frame's next-volume step looks for.
  std::string VolumeName(int N) const override { return FNextVolume; }

 private:
  int SelectNotice(TCabNotification& N);
  int ExtractNotice(TCabNotification& N);
  // A selected file goes through the frame's per-entry step, copied within it.
  int CopyDecision(TCabNotification& N);
  void ListEntry(const TCabNotification& N, const std::string& Name);
  int NextCabinet(TCabNotification& N);
  bool WriteData(const uint8_t* Data, int32_t Count);
  // The stored name as text: UTF-8 by the name attribute, else by the reading rules; kept apart
  // from the names other stored bytes gave.
  std::string DecodedName(const TCabNotification& N);
  // After a copy: a corrupt cabinet reports 25140, a cancel nothing, anything else raises
  // ECabinetError.
  void CheckErrors();
  int Abort() const { return IsCancelled() ? -1 : 0; }

  TCabError FErr;
  std::unique_ptr<TCabDecompressor> FCab;
  TStoredNames FNames;
  std::map<std::string, std::string> FFoundCabinets;  // next cabinet name -> file ("" none)
  std::string FNextVolume;
  std::string FEntryName;     // stored name of the entry being copied
  int64_t FEntryWritten = 0;  // bytes of it written so far
  bool FInfoTaken = false;
  uint16_t FSetID = 0;
  uint16_t FCabinetNumber = 0;
};
