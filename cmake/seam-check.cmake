# Stops the build where platform-win32.cc calls Windows past its table of calls, so that the
# fault build can fail every call that can fail:
#   cmake -DSOURCE=platform/platform-win32.cc -P seam-check.cmake
# A function of the table must be called as os.NAME(...); any other Windows or runtime call
# (a name in CamelCase, or starting with _) must be one the file's "// past the table:" lines
# name with their reason, and each name there must still be called. Both lists are read from
# the file itself (its SEAM(...) lines and those comments), so a new entry needs nothing here.

cmake_minimum_required(VERSION 3.20)
if(NOT SOURCE)
  message(FATAL_ERROR "seam-check.cmake needs -DSOURCE=<platform-win32.cc>.")
endif()
file(READ "${SOURCE}" text)
# What a CMake list would take apart or hold together goes, so that a line is one element:
# the check needs none of these characters.
string(REGEX REPLACE "[];[\\]" " " text "${text}")
string(REPLACE "\n" ";" lines "${text}")

set(table "")
set(past "")
foreach(line IN LISTS lines)
  if(line MATCHES "^ *SEAM\\(([A-Za-z0-9_]+),")
    list(APPEND table ${CMAKE_MATCH_1})
  elseif(line MATCHES "^ *// past the table: ([A-Za-z0-9_ ]+)")
    string(REGEX MATCHALL "[A-Za-z0-9_]+" names "${CMAKE_MATCH_1}")
    list(APPEND past ${names})
  endif()
endforeach()

set(faults "")
set(called "")
set(number 0)
foreach(line IN LISTS lines)
  math(EXPR number "${number} + 1")
  if(line MATCHES "^ *SEAM\\(")
    continue()
  endif()
  # Code only: no string, comment or character literal; a call through the table marked @;
  # a space after each parenthesis, so that a call nested in another is found too.
  string(REGEX REPLACE "\"[^\"]*\"" "\"\"" code " ${line}")
  string(REGEX REPLACE "//.*" "" code "${code}")
  string(REGEX REPLACE "'[^']*'" "''" code "${code}")
  string(REGEX REPLACE "([^A-Za-z0-9_])os\\." "\\1@" code "${code}")
  string(REPLACE "(" "( " code "${code}")
  string(REGEX MATCHALL "[^A-Za-z0-9_]:*[A-Za-z_][A-Za-z0-9_]* *\\(" calls "${code}")
  foreach(call IN LISTS calls)
    string(REGEX MATCH "^(.):*([A-Za-z0-9_]+)" _ "${call}")
    set(before ${CMAKE_MATCH_1})
    set(name ${CMAKE_MATCH_2})
    if(name IN_LIST table)
      if(NOT before STREQUAL "@")
        list(APPEND faults "${SOURCE}:${number}: ${name} is called past the table: call os.${name}")
      endif()
    elseif(before MATCHES "[@.>]")
      # A member's call, not Windows'.
    elseif(name IN_LIST past)
      list(APPEND called ${name})
    elseif(name MATCHES "^([A-Z][A-Za-z0-9]*[a-z][A-Za-z0-9]*|_[a-z][a-z0-9_]*)$")
      list(APPEND faults "${SOURCE}:${number}: ${name} is neither in the table nor past it: \
add it to windows_calls, or, where it cannot fail, to a \"// past the table:\" line with why")
    endif()
  endforeach()
endforeach()
foreach(name IN LISTS past)
  if(NOT name IN_LIST called)
    list(APPEND faults "${SOURCE}: ${name} is named past the table but called nowhere: \
take it off that line")
  endif()
endforeach()

if(NOT table)
  list(APPEND faults "${SOURCE}: no SEAM(...) line, so no table to hold the calls to")
endif()
if(faults)
  foreach(fault IN LISTS faults)
    message(NOTICE "${fault}")
  endforeach()
  message(FATAL_ERROR "Windows calls past the table of calls (above).")
endif()
