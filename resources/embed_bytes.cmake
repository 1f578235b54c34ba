# cmake -DINPUT=file -DOUTPUT=file.inc -P embed_bytes.cmake
# Writes the bytes of INPUT as a comma-separated list for a C array initialiser.
file(READ "${INPUT}" hex HEX)
string(LENGTH "${hex}" length)
if(length EQUAL 0)
  message(FATAL_ERROR "${INPUT} is empty")
endif()
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
file(WRITE "${OUTPUT}.tmp" "// Generated from ${INPUT}; do not edit.\n${bytes}\n")
file(RENAME "${OUTPUT}.tmp" "${OUTPUT}")
