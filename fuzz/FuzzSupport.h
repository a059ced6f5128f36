// Shared bodies of the fuzz targets: a reader run over untrusted bytes in list, test or extract
// mode (extract inside a scratch tree whose escape aborts the run), and a decoder run whose
// output is checked against the declared size. Each target in fuzz/targets/ is one call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "archive/core/qrvBase.h"

struct TDecoderIO;
struct TDecodeStatus;

namespace fuzz {

// Writes the bytes to the scratch archive file, runs a fresh reader of the kind Make gives on
// it in Mode (xmExtract into the scratch tree), then checks the tree: anything outside out/,
// or a link in out/ that leads outside it, aborts. The tree is emptied after each run.
void RunReader(const std::function<std::unique_ptr<TUnBase>()>& Make, TExtractMode Mode, const uint8_t* Data,
               size_t Size);

// Input of a decoder target: byte 0 is the option (method variant, flags), bytes 1-3 the
// declared unpacked size (little endian; 0xFFFFFF: unknown), the rest the compressed bytes.
// Runs Decode with reads in pieces of varying size and aborts when the output passes the
// declared size or the outcome is not one of the documented ones.
void RunDecoder(const std::function<TDecodeStatus(const TDecoderIO& IO, uint8_t Option)>& Decode, const uint8_t* Data,
                size_t Size);

// The scratch file holding the current input (for targets that read a file themselves).
const std::string& ScratchArchive();
// The scratch folder for other files a target makes; emptied by RunReader.
const std::string& ScratchDir();

}  // namespace fuzz

// The libFuzzer entry point every target defines.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size);
