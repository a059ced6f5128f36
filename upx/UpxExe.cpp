#include "upx/UpxExe.h"

#include "upx/UpxDir.h"
#include "upx/UpxJob.h"

#include <cstdint>

#ifndef BREL_UPX_EXE_PATH
#error "BREL_UPX_EXE_PATH is set by cmake/extra-upx.cmake"
#endif

// The assembler copies the file into read-only data; the size is computed by the assembler too.
// BREL_UPX_EXE_SHA256 (on the command line) makes a changed file a new compilation for ccache.
__asm__(
    ".pushsection .rodata\n"
    ".balign 16\n"
    ".hidden brel_upx_exe_begin\n"
    "brel_upx_exe_begin:\n"
    ".incbin \"" BREL_UPX_EXE_PATH
    "\"\n"
    "brel_upx_exe_end:\n"
    ".balign 8\n"
    ".hidden brel_upx_exe_size\n"
    "brel_upx_exe_size:\n"
    ".quad brel_upx_exe_end - brel_upx_exe_begin\n"
    ".popsection\n");

extern "C" const unsigned char brel_upx_exe_begin[];
extern "C" const uint64_t brel_upx_exe_size;

std::span<const unsigned char> UpxExeBytes() { return {brel_upx_exe_begin, static_cast<size_t>(brel_upx_exe_size)}; }

TUpxJobResult RunUpxStandalone(const std::string& path, const TUpxOptions& options, const TUpxJobIO& io) {
  // Never the shared ~vxtmp: a window running at the same time keeps its packer there.
  TUpxDir dir("", TUpxDir::DefaultTempDir());
  dir.WriteUpxExe(UpxExeBytes());
  return RunUpxJob(dir.Path(), path, options, io);
}
