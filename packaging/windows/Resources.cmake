# The Windows resources of the program and its reader: a version resource whose numbers are the
# project's, and for the program its icon, drawn from packaging/velquor-fusion.svg at the sizes
# Windows shows (the Explorer, the Start menu, the taskbar, the installer's list of programs).
find_program(VF_RSVG_CONVERT rsvg-convert REQUIRED)
find_program(VF_ICOTOOL icotool REQUIRED)

set(VF_WINDOWS_ICON ${PROJECT_BINARY_DIR}/packaging/windows/velquor-fusion.ico)
set(vf_icon_sizes 16 24 32 48 64 256)
set(vf_icon_images)
foreach(size IN LISTS vf_icon_sizes)
  set(image ${PROJECT_BINARY_DIR}/packaging/windows/icon-${size}.png)
  add_custom_command(OUTPUT ${image}
    COMMAND ${VF_RSVG_CONVERT} --width ${size} --height ${size} --output ${image} ${PROJECT_SOURCE_DIR}/packaging/velquor-fusion.svg
    DEPENDS ${PROJECT_SOURCE_DIR}/packaging/velquor-fusion.svg
    VERBATIM)
  list(APPEND vf_icon_images ${image})
endforeach()
# The 256-pixel image stays a PNG inside the icon file, as Windows reads it since Vista.
list(POP_BACK vf_icon_images vf_icon_large)
add_custom_command(OUTPUT ${VF_WINDOWS_ICON}
  COMMAND ${VF_ICOTOOL} --create --output ${VF_WINDOWS_ICON} ${vf_icon_images} --raw=${vf_icon_large}
  DEPENDS ${vf_icon_images} ${vf_icon_large}
  VERBATIM)
add_custom_target(vf_windows_icon DEPENDS ${VF_WINDOWS_ICON})

# vf_windows_resources(TARGET FILE_NAME DESCRIPTION [ICON]): the version resource of the
# executable FILE_NAME.exe, with the icon if asked.
function(vf_windows_resources target file_name description)
  set(VF_RC_NAME ${file_name})
  set(VF_RC_DESCRIPTION "${description}")
  string(REPLACE "." "," VF_RC_VERSION_NUMBERS "${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH}.0")
  set(VF_RC_ICON "")
  if("ICON" IN_LIST ARGN)
    set(VF_RC_ICON "1 ICON \"${VF_WINDOWS_ICON}\"")
  endif()
  set(rc ${CMAKE_CURRENT_BINARY_DIR}/${target}.rc)
  configure_file(${PROJECT_SOURCE_DIR}/packaging/windows/resources.rc.in ${rc} @ONLY)
  target_sources(${target} PRIVATE ${rc})
  if("ICON" IN_LIST ARGN)
    set_source_files_properties(${rc} PROPERTIES OBJECT_DEPENDS ${VF_WINDOWS_ICON})
    add_dependencies(${target} vf_windows_icon)
  endif()
endfunction()
