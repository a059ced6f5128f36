// A minimal cabinet around the blocks of one encoder (one folder, its files in order, CFDATA
// checksums 0), and what the peer decoders make of it.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "support/TestSupport.h"

namespace cabenc {

using Files = std::vector<std::pair<std::string, std::string>>;  // name, content
// Encodes one frame of the folder (the encoders' CompressFrame).
using FrameFn = std::function<bool(const uint8_t*, size_t, bool, std::vector<uint8_t>&)>;

// The cabinet bytes: the files' contents joined into one folder of the given type, cut into
// 32 KiB frames, each encoded by Encode into one CFDATA block.
std::string MakeCab(const Files& files, uint16_t folderType, const FrameFn& encode);

// Extracts every file with libmspack into dir; returns "" or the first error.
std::string MspackExtract(const std::string& cabPath, const testsupport::fs::path& dir);

// Writes the cabinet to dir/name, then checks that libmspack extracts every file to the same
// bytes and (when installed) that cabextract -t and 7z t accept it. Failures are test failures.
void CheckWithPeers(const Files& files, const std::string& cab, const testsupport::fs::path& dir, bool peers);

// Test inputs: Kind is one of "zeros", "random", "text", "period:N", "exe", "far:N" (random
// bytes repeated at distance N), "reps" (copies from a few distances in turn), "testdata" (the
// shared test archives joined).
std::string Sample(const std::string& kind, size_t size, uint32_t seed = 1);

}  // namespace cabenc
