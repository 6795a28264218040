# Run by cpack (CPACK_PROJECT_CONFIG_FILE) before it builds a package: for
# the Debian package, the Depends of ORBECK_PACKAGED_PROGRAMS from
# dpkg-shlibdeps, without the entries another one already implies. A symbols
# file can yield both "a | b" and "a | c | b" for one library (the OpenCL
# loader does); the second adds nothing, since "a | b" must hold anyway.
if(NOT CPACK_GENERATOR STREQUAL "DEB")
  return()
endif()

set(work "${ORBECK_SHLIBDEPS_DIR}")
file(MAKE_DIRECTORY "${work}/debian")
file(WRITE "${work}/debian/control" "Source: orbeck\n\nPackage: orbeck\nArchitecture: any\n")
execute_process(COMMAND dpkg-shlibdeps -O ${ORBECK_PACKAGED_PROGRAMS}
                WORKING_DIRECTORY "${work}"
                OUTPUT_VARIABLE shlibs
                ERROR_VARIABLE shlibs_warnings
                RESULT_VARIABLE shlibs_result)
file(REMOVE_RECURSE "${work}")
if(NOT shlibs_result EQUAL 0 OR NOT shlibs MATCHES "shlibs:Depends=([^\n]*)")
  message(FATAL_ERROR "dpkg-shlibdeps failed: ${shlibs_warnings}")
endif()
string(REPLACE "," ";" entries "${CMAKE_MATCH_1}")

# Each entry as its alternatives, separated by "|" in a string.
set(cleaned)
foreach(entry IN LISTS entries)
  string(REPLACE "|" ";" alternatives "${entry}")
  set(trimmed)
  foreach(alternative IN LISTS alternatives)
    string(STRIP "${alternative}" alternative)
    list(APPEND trimmed "${alternative}")
  endforeach()
  list(JOIN trimmed "|" joined)
  list(APPEND cleaned "${joined}")
endforeach()
list(REMOVE_DUPLICATES cleaned)

set(depends)
foreach(entry IN LISTS cleaned)
  string(REPLACE "|" ";" mine "${entry}")
  set(implied FALSE)
  foreach(other IN LISTS cleaned)
    if(other STREQUAL entry)
      continue()
    endif()
    string(REPLACE "|" ";" theirs "${other}")
    set(subset TRUE)
    foreach(alternative IN LISTS theirs)
      if(NOT alternative IN_LIST mine)
        set(subset FALSE)
      endif()
    endforeach()
    if(subset)
      set(implied TRUE)
    endif()
  endforeach()
  if(NOT implied)
    string(REPLACE "|" " | " readable "${entry}")
    list(APPEND depends "${readable}")
  endif()
endforeach()
list(JOIN depends ", " CPACK_DEBIAN_PACKAGE_DEPENDS)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)
