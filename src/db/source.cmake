# vf_source: the source connection. The Access file itself is read by the staging reader
# (src/stage), a child process; this library only starts it and works on the SQLite copy.
add_library(vf_source STATIC
  SourceConnection.h SourceConnection.cpp
  SourceStatement.h SourceStatement.cpp
  StagingProtocol.h
  StagingDatabase.h StagingDatabase.cpp
  SqliteHandles.h
  StagingStream.h StagingStream.cpp
)
target_include_directories(vf_source PUBLIC ${PROJECT_SOURCE_DIR}/src)
target_link_libraries(vf_source PUBLIC vf_base Qt6::Core PRIVATE SQLite::SQLite3)
# The reader is looked for beside the running program, then in the private folder of an
# installed program (VF_STAGE_INSTALL_DIR, relative to the program's folder). The program never
# carries the path where the build put the reader: only test programs, which live elsewhere in the
# build tree, learn it by linking vf_reader_build_path (one object that sets it at start-up).
file(RELATIVE_PATH VF_STAGE_INSTALL_DIR "${CMAKE_INSTALL_FULL_BINDIR}"
     "${CMAKE_INSTALL_PREFIX}/${VF_INSTALL_PRIVATE_DIR}")
target_compile_definitions(vf_source PRIVATE VF_STAGE_INSTALL_DIR="${VF_STAGE_INSTALL_DIR}")
add_dependencies(vf_source velquor-fusion-stage)

if(VF_BUILD_TESTS)
  add_library(vf_reader_build_path OBJECT ReaderBuildPath.cpp)
  target_link_libraries(vf_reader_build_path PUBLIC vf_source)
  target_compile_definitions(vf_reader_build_path PRIVATE VF_STAGE_BUILD_PATH="$<TARGET_FILE:velquor-fusion-stage>")
endif()
