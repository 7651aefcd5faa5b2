# Windows resources: each program file carries its icon (from the program's
# own resource script) and version information (configured here).

set(VARDEL_QUENLO_DESCRIPTION "Vardel courseware launcher")
set(VARDEL_GRABVID_DESCRIPTION "Vardel screen recorder")

# vardel_windows_version(PROGRAM DESCRIPTION OUT): configures the version
# resource script of PROGRAM and returns its path in OUT.
function(vardel_windows_version program description out)
  set(VARDEL_PROGRAM ${program})
  set(VARDEL_DESCRIPTION ${description})
  set(rc ${CMAKE_BINARY_DIR}/packaging/${program}-version.rc)
  configure_file(${PROJECT_SOURCE_DIR}/packaging/windows/version.rc.in ${rc} @ONLY)
  set(${out} ${rc} PARENT_SCOPE)
endfunction()

vardel_windows_version(Quenlo "${VARDEL_QUENLO_DESCRIPTION}" VARDEL_QUENLO_VERSION_RC)
vardel_windows_version(Grabvid "${VARDEL_GRABVID_DESCRIPTION}" VARDEL_GRABVID_VERSION_RC)
