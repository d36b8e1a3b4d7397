# Fetches the VST3 build's dependencies at their pinned commits (cmake -P).
#   -DDEST=<folder>       receives clap-wrapper/, clap/ and vst3sdk/
#   -DSDK_TAG=<git tag>   the VST3 SDK release
#   -DSDK_PINS=<list>     submodule=commit pairs the SDK tag must carry (may be empty)
# Exits with an error (and FetchContent's or git's own text) when a
# repository cannot be fetched or a pinned commit does not match.
cmake_minimum_required(VERSION 3.25)
include(FetchContent)
set(FETCHCONTENT_QUIET ON)

function(brs_fetch name)
  FetchContent_Populate(${name} QUIET
    SOURCE_DIR ${DEST}/${name}
    SUBBUILD_DIR ${DEST}/.sub/${name}
    BINARY_DIR ${DEST}/.bin/${name}
    ${ARGN})
endfunction()

brs_fetch(clap-wrapper GIT_REPOSITORY https://github.com/free-audio/clap-wrapper.git
          GIT_TAG 62bf4f193d8dac354a946c1e0cffda9174317042 GIT_SUBMODULES "")
brs_fetch(clap GIT_REPOSITORY https://github.com/free-audio/clap.git
          GIT_TAG 69a69252fdd6ac1d06e246d9a04c0a89d9607a17 GIT_SUBMODULES "")
brs_fetch(vst3sdk GIT_REPOSITORY https://github.com/steinbergmedia/vst3sdk.git
          GIT_TAG ${SDK_TAG} GIT_SHALLOW ON
          GIT_SUBMODULES base pluginterfaces public.sdk cmake)

find_package(Git REQUIRED)
foreach(pin IN LISTS SDK_PINS)
  string(REPLACE "=" ";" pin "${pin}")
  list(GET pin 0 sub)
  list(GET pin 1 want)
  execute_process(COMMAND ${GIT_EXECUTABLE} -C ${DEST}/vst3sdk/${sub} rev-parse HEAD
                  OUTPUT_VARIABLE have OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0 OR NOT have STREQUAL want)
    message(FATAL_ERROR "vst3sdk/${sub} is at '${have}', expected ${want}")
  endif()
endforeach()
