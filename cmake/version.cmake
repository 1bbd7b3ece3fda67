# Writes OUTPUT, a header defining MORVANE_VERSION: the project version, and
# from a git checkout its description too. Runs at every build; the header
# only changes (and only then rebuilds anything) when the text does.
#   cmake -DVERSION=... -DSOURCE_DIR=... -DOUTPUT=... -P version.cmake
set(text "${VERSION}")
find_program(GIT git)
if(GIT AND EXISTS "${SOURCE_DIR}/.git")
  execute_process(COMMAND "${GIT}" -C "${SOURCE_DIR}" describe --tags --always --dirty
    OUTPUT_VARIABLE described OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET RESULT_VARIABLE failed)
  if(NOT failed AND described)
    set(text "${VERSION} (git ${described})")
  endif()
endif()
file(CONFIGURE OUTPUT "${OUTPUT}" CONTENT "#define MORVANE_VERSION \"${text}\"\n")
