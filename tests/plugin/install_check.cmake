# Installs the build twice: with a prefix inside a (temporary) home, where the
# plug-in goes to ~/.clap, and with a system-like prefix, where it goes to
# <prefix>/lib/clap. The kernel library and header go to <prefix> both times.
file(REMOVE_RECURSE ${WORK})
set(home ${WORK}/home)
file(MAKE_DIRECTORY ${home})
set(ENV{HOME} ${home})

# cmake --install needs every installed target built.
execute_process(COMMAND ${CMAKE_COMMAND} --build ${BUILD} RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "building the installed targets failed")
endif()

function(check_install prefix clapdir)
  execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD} --prefix ${prefix}
                  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "install to ${prefix} failed: ${out}${err}")
  endif()
  if(NOT EXISTS ${clapdir}/brisanto.clap)
    message(FATAL_ERROR "brisanto.clap missing in ${clapdir}")
  endif()
  file(GLOB libs ${prefix}/lib/libbrskern.so* ${prefix}/lib/*/libbrskern.so*)
  if(NOT libs)
    message(FATAL_ERROR "libbrskern.so missing under ${prefix}/lib")
  endif()
  if(NOT EXISTS ${prefix}/include/brskern.h)
    message(FATAL_ERROR "brskern.h missing in ${prefix}/include")
  endif()
endfunction()

check_install(${home}/.local ${home}/.clap)
if(EXISTS ${home}/.local/lib/clap)
  message(FATAL_ERROR "a user install must not use <prefix>/lib/clap")
endif()
check_install(${WORK}/usr ${WORK}/usr/lib/clap)
file(GLOB stray ${home}/.clap/*)
list(LENGTH stray n)
if(NOT n EQUAL 1)
  message(FATAL_ERROR "a system install must not touch ~/.clap")
endif()
file(REMOVE_RECURSE ${WORK})
