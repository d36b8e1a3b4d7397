# The top of clap-wrapper's build inside brisanto's (vst3/CMakeLists.txt
# copies this file as CMakeLists.txt into a folder of the build tree, beside
# links to clap-wrapper's unmodified cmake/, src/, include/ and libs/).
# It stands in for clap-wrapper's own top-level file, which sets policy
# CMP0149 (Windows SDK selection) unconditionally; CMake before 3.27 does not
# know that policy and stops. Everything else is clap-wrapper's own code.
cmake_minimum_required(VERSION 3.21)
project(clap-wrapper LANGUAGES C CXX VERSION 0.13.0)
set(CLAP_WRAPPER_VERSION "${PROJECT_VERSION}" CACHE STRING "Version of the wrapper project")
set(CMAKE_CXX_VISIBILITY_PRESET hidden)
set(CMAKE_VISIBILITY_INLINES_HIDDEN ON)
set(CLAP_WRAPPER_CMAKE_CURRENT_SOURCE_DIR ${CMAKE_CURRENT_SOURCE_DIR} CACHE STRING "Clap Wrapper Source Location" FORCE)
include(cmake/wrapper_functions.cmake)
