# Fails when the options of `kdr31-cli --help` (and of `kdr31-cli <command> --help`) and those
# of the man page and the README disagree: an option of the program missing from the man page or
# from the README, or an option in the man page that the program does not have.
#
#   cmake -DCLI=path/to/kdr31-cli -DMAN=path/to/kdr31-cli.1 -DREADME=README.md -P this file
cmake_minimum_required(VERSION 3.25)
foreach(var CLI MAN README)
  if(NOT EXISTS "${${var}}")
    message(FATAL_ERROR "${var}: no file at \"${${var}}\"")
  endif()
endforeach()

# The options of a help text: the lines "  -p, --port <P>   ..." or "  --json   ...".
function(help_options text out)
  string(REGEX MATCHALL "\n  (-[A-Za-z], )?--[a-z][a-z0-9-]*" lines "\n${text}")
  set(names "")
  foreach(line IN LISTS lines)
    string(REGEX REPLACE ".*--" "" name "${line}")
    list(APPEND names ${name})
  endforeach()
  set(${out} ${names} PARENT_SCOPE)
endfunction()

execute_process(COMMAND "${CLI}" --help OUTPUT_VARIABLE help RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "kdr31-cli --help failed (${status})")
endif()
help_options("${help}" options)
if(NOT options)
  message(FATAL_ERROR "kdr31-cli --help lists no options:\n${help}")
endif()
# Each command of the summary, "  poll      --port P ...", with its own help where it has one.
string(REGEX MATCHALL "\n  [a-z][a-z-]+ " command_lines "${help}")
foreach(line IN LISTS command_lines)
  string(STRIP "${line}" command)
  execute_process(COMMAND "${CLI}" ${command} --help OUTPUT_VARIABLE command_help
                  RESULT_VARIABLE status ERROR_QUIET)
  if(status EQUAL 0)
    help_options("${command_help}" command_options)
    list(APPEND options ${command_options})
  endif()
endforeach()
list(REMOVE_DUPLICATES options)

file(READ "${MAN}" man)
file(READ "${README}" readme)
# In roff a dash is "\-"; the man page's options are what follows "\-\-".
string(REPLACE "\\-" "-" man_text "${man}")
# Lines of other programs' commands (sudo systemctl enable --now ...) name their own options.
string(REGEX REPLACE "\nsudo [a-jl-z][^\n]*" "" man_text "${man_text}")
string(REGEX MATCHALL "--[a-z][a-z0-9-]*[a-z0-9]" man_named "${man_text}")
list(TRANSFORM man_named REPLACE "^--" "")
list(REMOVE_DUPLICATES man_named)

set(problems "")
foreach(option IN LISTS options)
  if(NOT option IN_LIST man_named)
    string(APPEND problems "\n  --${option} is missing from the man page (${MAN})")
  endif()
  string(REGEX MATCH "--${option}([^a-z0-9-]|$)" in_readme "${readme}")
  if(NOT in_readme)
    string(APPEND problems "\n  --${option} is missing from the README")
  endif()
endforeach()
foreach(option IN LISTS man_named)
  if(NOT option IN_LIST options)
    string(APPEND problems "\n  the man page names --${option}, which kdr31-cli --help does not list")
  endif()
endforeach()
if(problems)
  message(FATAL_ERROR "kdr31-cli's options and their documentation disagree:${problems}")
endif()
list(LENGTH options count)
message(STATUS "${count} options of kdr31-cli, each in the man page and the README")
