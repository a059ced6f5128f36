# Formats brel does not read itself come through libarchive (archive/libarc).
pkg_check_modules(LIBARCHIVE REQUIRED IMPORTED_TARGET libarchive)
file(GLOB LIBARC_SRC CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/archive/libarc/*.cpp)
target_sources(archive PRIVATE ${LIBARC_SRC})
target_link_libraries(archive PUBLIC PkgConfig::LIBARCHIVE)
