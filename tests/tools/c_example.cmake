# Compiles docs/examples/render_second.c as a user would: plain C, the kernel
# header alone in an include directory, linked with -lbrskern; then runs it
# and checks that it wrote one second of audible interleaved stereo floats.
# Arguments: CC, SRC, HEADER, LIBDIR, WORK; SANITIZE (optional): the
# sanitizers the library was built with, which the program must link too.
file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${WORK}/include")
file(COPY "${HEADER}" DESTINATION "${WORK}/include")

set(sanitize)
if(SANITIZE)
  set(sanitize "-fsanitize=${SANITIZE}")
endif()
execute_process(
  COMMAND "${CC}" -std=c11 -Wall -Wextra -pedantic -Werror ${sanitize}
          -I "${WORK}/include" "${SRC}" -L "${LIBDIR}" -lbrskern "-Wl,-rpath,${LIBDIR}"
          -o "${WORK}/render_second"
  RESULT_VARIABLE rc ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "the example does not compile as C:\n${err}")
endif()

execute_process(COMMAND "${WORK}/render_second" OUTPUT_FILE "${WORK}/second.raw" RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "the example exited with ${rc}")
endif()

file(SIZE "${WORK}/second.raw" size)
if(NOT size EQUAL 384000)
  message(FATAL_ERROR "expected 48000 stereo float frames (384000 bytes), got ${size} bytes")
endif()
# Audible: some float in the second has an exponent byte of 0x3c or more (|x| > 0.0078).
file(READ "${WORK}/second.raw" hex HEX)
string(REGEX MATCHALL "........" floats "${hex}")  # one little-endian float each
list(FILTER floats INCLUDE REGEX "^......(3[c-f]|b[c-f])$")
list(LENGTH floats n)
if(n LESS 1000)
  message(FATAL_ERROR "the second is (nearly) silent: ${n} samples above -42 dBFS")
endif()
message(STATUS "render_second: ${n} samples above -42 dBFS")
