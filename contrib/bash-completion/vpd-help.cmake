# Writes OUT: what romwright-vpd --help prints, then, after a line
# "== NAME", what "romwright-vpd NAME --help" prints for each subcommand
# it lists.  The completion's generator reads romwright-vpd's options there.
#   cmake -DVPD=PROGRAM [-DEMULATOR=RUNNER] -DOUT=FILE -P vpd-help.cmake
# EMULATOR runs a cross-built PROGRAM (qemu-user).

function(vpd_help result)
  execute_process(COMMAND ${EMULATOR} ${VPD} ${ARGN} --help
                  OUTPUT_VARIABLE text RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "romwright-vpd ${ARGN} --help failed (${status})")
  endif()
  set(${result} "${text}" PARENT_SCOPE)
endfunction()

vpd_help(top)
set(all "${top}")
# The subcommands: the lines "  NAME   description" after "Subcommands:".
string(FIND "${top}" "\nSubcommands:\n" at)
if(at GREATER -1)
  string(SUBSTRING "${top}" ${at} -1 rest)
  string(REGEX MATCHALL "\n  [a-z][a-z0-9-]*  " subs "${rest}")
  foreach(sub IN LISTS subs)
    string(STRIP "${sub}" sub)
    vpd_help(text ${sub})
    string(APPEND all "== ${sub}\n${text}")
  endforeach()
endif()
file(WRITE "${OUT}" "${all}")
