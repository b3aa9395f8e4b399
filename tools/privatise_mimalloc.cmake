# Makes a copy of mimalloc's static archive whose malloc, free and operator
# new/delete definitions can no longer bind to anything, for object formats on
# which objcopy cannot demote symbols to local (Mach-O): every defined global
# symbol outside mimalloc's own API (mi_*, _mi_*, __mi_*) is renamed with the
# prefix "vak_private_", and references inside the archive follow the rename.
#
#   cmake -DNM=llvm-nm -DOBJCOPY=llvm-objcopy -DARCHIVE=libmimalloc.a -DOUTPUT=copy.a
#         -P tools/privatise_mimalloc.cmake
#
# Mach-O prefixes C names with "_": the API is then _mi_*, __mi_*, ___mi_*.
foreach(var NM OBJCOPY ARCHIVE OUTPUT)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "privatise_mimalloc: ${var} is not set")
  endif()
endforeach()

execute_process(
  COMMAND "${NM}" -g -j --defined-only "${ARCHIVE}"
  OUTPUT_VARIABLE _names RESULT_VARIABLE _rc ERROR_VARIABLE _err)
if(NOT _rc EQUAL 0)
  message(FATAL_ERROR "privatise_mimalloc: ${NM} failed: ${_err}")
endif()
string(REPLACE "\n" ";" _names "${_names}")
set(_renames "")
set(_count 0)
foreach(_name IN LISTS _names)
  string(STRIP "${_name}" _name)
  # Archive member headers ("lib.a(x.o):") and blank lines are not symbols.
  if(_name STREQUAL "" OR _name MATCHES ":$")
    continue()
  endif()
  if(_name MATCHES "^_*mi_")
    continue()
  endif()
  string(APPEND _renames "${_name} vak_private${_name}\n")
  math(EXPR _count "${_count} + 1")
endforeach()
if(_count EQUAL 0)
  message(FATAL_ERROR "privatise_mimalloc: no symbol to hide found in ${ARCHIVE}")
endif()
file(WRITE "${OUTPUT}.renames" "${_renames}")
execute_process(
  COMMAND "${OBJCOPY}" "--redefine-syms=${OUTPUT}.renames" "${ARCHIVE}" "${OUTPUT}"
  RESULT_VARIABLE _rc ERROR_VARIABLE _err)
if(NOT _rc EQUAL 0)
  message(FATAL_ERROR "privatise_mimalloc: ${OBJCOPY} failed: ${_err}")
endif()
message(STATUS "privatise_mimalloc: renamed ${_count} symbols")
