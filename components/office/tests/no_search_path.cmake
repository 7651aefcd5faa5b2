# cmake -DMODULE=FILE -P no_search_path.cmake: fails when the office module
# carries a library search path (RPATH or RUNPATH). Debian's policy keeps
# those out of installed objects; the loader finds the office's libraries.
file(READ_ELF "${MODULE}" RPATH rpath RUNPATH runpath CAPTURE_ERROR error)
if(error)
  message(FATAL_ERROR "cannot read ${MODULE}: ${error}")
endif()
if(rpath OR runpath)
  message(FATAL_ERROR "${MODULE} carries a library search path: RPATH '${rpath}' RUNPATH '${runpath}'")
endif()
message(STATUS "${MODULE}: no library search path")
