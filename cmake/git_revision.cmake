# Writes OUT as a C++ header with the source tree's git revision (empty when
# the tree is no git checkout or git is missing). Runs at every build; the
# header is only rewritten when the revision changed, so nothing rebuilds
# needlessly.
set(revision "")
find_program(GIT_PROGRAM git)
if(GIT_PROGRAM)
  execute_process(COMMAND ${GIT_PROGRAM} rev-parse --short=12 HEAD
                  WORKING_DIRECTORY ${SOURCE_DIR}
                  OUTPUT_VARIABLE revision OUTPUT_STRIP_TRAILING_WHITESPACE
                  ERROR_QUIET RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    set(revision "")
  endif()
endif()
file(WRITE ${OUT}.tmp "#pragma once\n#define ORBECK_GIT_REVISION \"${revision}\"\n")
file(COPY_FILE ${OUT}.tmp ${OUT} ONLY_IF_DIFFERENT)
file(REMOVE ${OUT}.tmp)
