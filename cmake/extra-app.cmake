# The desktop program's pictures and the version its caption shows.
if(TARGET brelapp)
  target_sources(brelapp PRIVATE ${CMAKE_SOURCE_DIR}/app/resources/brel.qrc)
  target_compile_definitions(brelapp PRIVATE
    BREL_FILE_VERSION="${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH}.0")
endif()
