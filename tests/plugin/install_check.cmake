# Installs the build twice: with a prefix inside a (temporary) home, where the
# plug-in goes to ~/.clap, and with a system-like prefix, where it goes to
# <prefix>/lib/clap. The kernel library and header go to <prefix> both times.
# With -DVST3=1 the VST3 bundle goes the same ways: ~/.vst3, <prefix>/lib/vst3.
# With -DAPP=1 the program, its desktop entry and icon go to <prefix>/bin and
# <prefix>/share, and the installed program finds the installed plug-in.
file(REMOVE_RECURSE ${WORK})
set(home ${WORK}/home)
file(MAKE_DIRECTORY ${home})
set(ENV{HOME} ${home})

# cmake --install needs every installed target built.
execute_process(COMMAND ${CMAKE_COMMAND} --build ${BUILD} RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "building the installed targets failed")
endif()

function(check_install prefix clapdir vst3dir)
  execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD} --prefix ${prefix}
                  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "install to ${prefix} failed: ${out}${err}")
  endif()
  if(NOT EXISTS ${clapdir}/brisanto.clap)
    message(FATAL_ERROR "brisanto.clap missing in ${clapdir}")
  endif()
  if(VST3 AND NOT EXISTS ${vst3dir}/brisanto.vst3/Contents/x86_64-linux/brisanto.so)
    message(FATAL_ERROR "brisanto.vst3 missing in ${vst3dir}")
  endif()
  file(GLOB libs ${prefix}/lib/libbrskern.so* ${prefix}/lib/*/libbrskern.so*)
  if(NOT libs)
    message(FATAL_ERROR "libbrskern.so missing under ${prefix}/lib")
  endif()
  if(NOT EXISTS ${prefix}/include/brskern.h)
    message(FATAL_ERROR "brskern.h missing in ${prefix}/include")
  endif()
  if(APP)
    foreach(f bin/brisanto share/applications/brisanto.desktop share/icons/hicolor/scalable/apps/brisanto.svg)
      if(NOT EXISTS ${prefix}/${f})
        message(FATAL_ERROR "${f} missing under ${prefix}")
      endif()
    endforeach()
    file(READ ${prefix}/share/applications/brisanto.desktop desktop)
    if(NOT desktop MATCHES "\nExec=brisanto\n" OR NOT desktop MATCHES "\nIcon=brisanto\n")
      message(FATAL_ERROR "brisanto.desktop does not start brisanto with its icon")
    endif()
    # The installed program finds the installed plug-in by itself: with no
    # display it gets as far as the window (status 4), not "no plug-in" (3).
    # HOME is an empty folder, so only the install's own place can serve.
    file(MAKE_DIRECTORY ${WORK}/empty-home)
    execute_process(COMMAND ${CMAKE_COMMAND} -E env HOME=${ENV_HOME_FOR_APP} DISPLAY=
                            ${prefix}/bin/brisanto --ohne-zustand --ohne-midi
                    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
    if(NOT rc EQUAL 4)
      message(FATAL_ERROR "installed brisanto under ${prefix} ended with ${rc}, not 4 (no display): ${out}${err}")
    endif()
  endif()
endfunction()

set(ENV_HOME_FOR_APP ${home})
check_install(${home}/.local ${home}/.clap ${home}/.vst3)
if(EXISTS ${home}/.local/lib/clap OR EXISTS ${home}/.local/lib/vst3)
  message(FATAL_ERROR "a user install must not use <prefix>/lib/clap or <prefix>/lib/vst3")
endif()
set(ENV_HOME_FOR_APP ${WORK}/empty-home)
check_install(${WORK}/usr ${WORK}/usr/lib/clap ${WORK}/usr/lib/vst3)
file(GLOB stray ${home}/.clap/*)
list(LENGTH stray n)
if(NOT n EQUAL 1)
  message(FATAL_ERROR "a system install must not touch ~/.clap")
endif()
file(GLOB_RECURSE stray ${home}/.vst3/*)
list(LENGTH stray n)
if(VST3 AND NOT n EQUAL 1)
  message(FATAL_ERROR "a system install must not touch ~/.vst3")
endif()
file(REMOVE_RECURSE ${WORK})
