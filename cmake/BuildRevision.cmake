# Writes the source's git revision (8 lower-case hex digits) into OUTPUT, touching the file
# only when the text changes so that a new commit rebuilds exactly one object.
execute_process(
  COMMAND git -C "${SOURCE_DIR}" rev-parse --verify HEAD
  OUTPUT_VARIABLE revision
  RESULT_VARIABLE result
  OUTPUT_STRIP_TRAILING_WHITESPACE
  ERROR_QUIET)
if(result EQUAL 0 AND revision MATCHES "^[0-9a-f]+$")
  string(SUBSTRING "${revision}" 0 8 revision)
else()
  set(revision "00000000")
endif()
set(text "#include \"cli/build_revision.h\"\n\nconst char* const BuildRevision = \"${revision}\";\n")
if(EXISTS "${OUTPUT}")
  file(READ "${OUTPUT}" old)
endif()
if(NOT "${old}" STREQUAL "${text}")
  file(WRITE "${OUTPUT}" "${text}")
endif()
