find_package(ODBC REQUIRED)

add_library(vf_dest STATIC
  DestinationConnection.h DestinationConnection.cpp
  IdValues.h IdValues.cpp
)
target_include_directories(vf_dest PUBLIC ${PROJECT_SOURCE_DIR}/src)
target_link_libraries(vf_dest PUBLIC vf_base Qt6::Sql SQLite::SQLite3 PRIVATE ODBC::ODBC)
