# Run by CPack once it has made a package: makes it again from the staged
# files, with everything that would tell one build from another fixed. CPack
# before CMake 4.3 records the builder's user and group, the umask's modes and
# the files' times, and a zip's times in the local time zone. Here the owners
# are 0:0 without names, modes u=rwX,go=rX, every time the last commit's
# (SOURCE_DATE_EPOCH when set), a zip's in UTC, entries in name order, and the
# gzip header holds no time. Needs git, GNU tar and gzip, and Info-ZIP's zip
# for a zip; without them CPack's own package stays, with a warning.

set(epoch "$ENV{SOURCE_DATE_EPOCH}")
if(epoch STREQUAL "")
  execute_process(COMMAND git log -1 --format=%ct WORKING_DIRECTORY "${CPACK_JOINER_SOURCE_DIR}"
                  OUTPUT_VARIABLE epoch OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
endif()
if(NOT epoch MATCHES "^[0-9]+$")
  message(WARNING "Neither SOURCE_DATE_EPOCH nor a git commit gives the packages' time: "
                  "CPack's own stay, with this build's owners, modes and times.")
  return()
endif()

set(staged "${CPACK_TEMPORARY_DIRECTORY}")
file(GLOB_RECURSE entries LIST_DIRECTORIES true RELATIVE "${staged}" "${staged}/*")
list(SORT entries)
execute_process(COMMAND chmod -R u=rwX,go=rX . WORKING_DIRECTORY "${staged}" RESULT_VARIABLE mode)
execute_process(COMMAND touch -h -d @${epoch} ${entries} WORKING_DIRECTORY "${staged}"
                RESULT_VARIABLE time)
if(NOT mode STREQUAL "0" OR NOT time STREQUAL "0")
  message(WARNING "chmod or touch failed: CPack's own packages stay, with this build's owners, "
                  "modes and times.")
  return()
endif()

# A zip's times are local times.
set(ENV{TZ} UTC0)
foreach(package IN LISTS CPACK_PACKAGE_FILES)
  # Beside it, under a name of the same kind (zip would add .zip to another).
  get_filename_component(name "${package}" NAME)
  get_filename_component(folder "${package}" DIRECTORY)
  set(made "${folder}/same-bytes-${name}")
  file(REMOVE "${made}")
  if(package MATCHES "\\.zip$")
    execute_process(COMMAND zip -X -q "${made}" ${entries} WORKING_DIRECTORY "${staged}"
                    RESULTS_VARIABLE results)
  elseif(package MATCHES "\\.tar\\.gz$")
    execute_process(COMMAND tar --create --format=ustar --owner=0 --group=0 --numeric-owner
                            --no-recursion ${entries}
                    COMMAND gzip -n
                    WORKING_DIRECTORY "${staged}" OUTPUT_FILE "${made}" RESULTS_VARIABLE results)
  else()
    set(results "no way to make this kind of package")
  endif()
  if(NOT results MATCHES "^0(;0)*$")
    file(REMOVE "${made}")
    message(WARNING "${package} could not be made again (${results}): CPack's own stays, "
                    "with this build's owners, modes and times.")
  else()
    file(RENAME "${made}" "${package}")
  endif()
endforeach()
