add_library(vf_base STATIC
  Errors.h
  Reporter.h
  TextCodec.h TextCodec.cpp
  Regional.h Regional.cpp
  ImportLog.h ImportLog.cpp
  RecordingReporter.h RecordingReporter.cpp
  IniFile.h IniFile.cpp
  Conversions.h Conversions.cpp
  FileAccess.h FileAccess.cpp
  Settings.h Settings.cpp
  TestHold.h TestHold.cpp
  DestinationConfig.h DestinationConfig.cpp
)
target_include_directories(vf_base PUBLIC ${PROJECT_SOURCE_DIR}/src)
target_link_libraries(vf_base PUBLIC Qt6::Core)
