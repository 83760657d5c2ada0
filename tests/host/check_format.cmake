# Every C and C++ file the repository tracks, checked against its .clang-format:
#   cmake -DSOURCE_DIR=<checkout> -DCLANG_FORMAT=<clang-format> -P check_format.cmake
# Fails and names the files that differ from what clang-format would write, with the command
# that rewrites them.
#
# With -DCHECK=shell (and -DSHELLCHECK=<shellcheck>) it checks the shell scripts instead: every
# tracked file under scripts/ and every tracked *.sh, with shellcheck, following what they source.
# With -DCHECK=python (and -DPYFLAKES=<pyflakes>) every tracked Python file, with pyflakes.
cmake_minimum_required(VERSION 3.25)

# Runs the tool once over the files; fails with its findings.
function(check_all tool install what kind)
  if(NOT tool)
    message(FATAL_ERROR "${what} was not found when the host tree was configured: install it "
                        "(Debian: ${install}) and configure again (cmake --preset host)")
  endif()
  list(LENGTH ARGN count)
  if(count EQUAL 0)
    message(FATAL_ERROR "git ls-files lists no ${kind} in ${SOURCE_DIR}")
  endif()
  execute_process(COMMAND ${tool} ${QEL_TOOL_OPTIONS} ${ARGN}
                  WORKING_DIRECTORY ${SOURCE_DIR}
                  RESULT_VARIABLE result
                  OUTPUT_VARIABLE findings
                  ERROR_VARIABLE findings)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "${what} finds fault with the ${kind}:\n${findings}")
  endif()
  message(STATUS "${count} ${kind} pass ${what}")
endfunction()

if(CHECK STREQUAL "shell")
  execute_process(COMMAND git ls-files -- scripts *.sh WORKING_DIRECTORY ${SOURCE_DIR} OUTPUT_VARIABLE listed)
  string(REPLACE "\n" ";" files "${listed}")
  list(FILTER files EXCLUDE REGEX "^$")
  list(REMOVE_DUPLICATES files)
  set(scripts)
  foreach(file ${files})
    file(STRINGS ${SOURCE_DIR}/${file} first LIMIT_COUNT 1)
    if(file MATCHES "\\.sh$" OR first MATCHES "^#!.*(bash|/sh)")
      list(APPEND scripts ${file})
    endif()
  endforeach()
  set(QEL_TOOL_OPTIONS -x --source-path=SCRIPTDIR -f gcc)
  check_all("${SHELLCHECK}" shellcheck shellcheck "shell scripts" ${scripts})
  return()
elseif(CHECK STREQUAL "python")
  execute_process(COMMAND git ls-files -- *.py WORKING_DIRECTORY ${SOURCE_DIR} OUTPUT_VARIABLE listed)
  string(REPLACE "\n" ";" files "${listed}")
  list(FILTER files EXCLUDE REGEX "^$")
  check_all("${PYFLAKES}" pyflakes3 pyflakes "Python files" ${files})
  return()
endif()

if(NOT CLANG_FORMAT)
  message(FATAL_ERROR "clang-format was not found when the host tree was configured: install it "
                      "(Debian: clang-format) and configure again (cmake --preset host)")
endif()
execute_process(COMMAND ${CLANG_FORMAT} --version OUTPUT_VARIABLE version OUTPUT_STRIP_TRAILING_WHITESPACE)
message(STATUS "${version}")

set(patterns *.c *.cc *.cpp *.cxx *.h *.hh *.hpp)
execute_process(COMMAND git ls-files -- ${patterns}
                WORKING_DIRECTORY ${SOURCE_DIR}
                RESULT_VARIABLE git_result
                OUTPUT_VARIABLE listed
                ERROR_QUIET)
if(NOT git_result EQUAL 0)
  message(FATAL_ERROR "git ls-files failed in ${SOURCE_DIR}: the check reads the tracked files of a git checkout")
endif()
string(REPLACE "\n" ";" files "${listed}")
list(FILTER files EXCLUDE REGEX "^$")
list(LENGTH files count)
if(count EQUAL 0)
  message(FATAL_ERROR "git ls-files lists no C or C++ file in ${SOURCE_DIR}")
endif()

set(offending)
foreach(file ${files})
  execute_process(COMMAND ${CLANG_FORMAT} --dry-run -Werror ${file}
                  WORKING_DIRECTORY ${SOURCE_DIR}
                  RESULT_VARIABLE result
                  OUTPUT_QUIET
                  ERROR_VARIABLE diagnostics)
  if(NOT result EQUAL 0)
    list(APPEND offending ${file})
    # The first place in the file, so the log shows what kind of deviation it is.
    string(REGEX MATCH "^[^\n]*\n[^\n]*\n[^\n]*" first "${diagnostics}")
    message("${first}")
  endif()
endforeach()

if(offending)
  list(LENGTH offending bad)
  list(JOIN offending "\n  " named)
  list(JOIN offending " " joined)
  message(FATAL_ERROR "${bad} of ${count} C/C++ files differ from .clang-format:\n  ${named}\n"
                      "Rewrite them with: clang-format -i ${joined}")
endif()
message(STATUS "${count} C/C++ files match .clang-format")
