# Compile options shared by every target of the project.
set(CMAKE_CXX_STANDARD 20)
set(CMAKE_CXX_STANDARD_REQUIRED ON)
set(CMAKE_CXX_EXTENSIONS OFF)
set(CMAKE_C_STANDARD 11)
set(CMAKE_POSITION_INDEPENDENT_CODE ON)

if(NOT CMAKE_BUILD_TYPE AND NOT CMAKE_CONFIGURATION_TYPES)
  set(CMAKE_BUILD_TYPE Release CACHE STRING "Build type" FORCE)
endif()

# Output must be bit-exact between builds: no contraction into FMA, no fast-math.
set(CMAKE_CXX_FLAGS_RELEASE "-O2")
set(CMAKE_C_FLAGS_RELEASE "-O2")
add_compile_options(-Wall -Wextra -ffp-contract=off -fno-fast-math)

# Sanitizer lanes: -DBRS_SANITIZE=address,undefined  or  -DBRS_SANITIZE=thread
set(BRS_SANITIZE "" CACHE STRING "Sanitizers to build with (address,undefined | thread)")
if(BRS_SANITIZE)
  add_compile_options(-fsanitize=${BRS_SANITIZE} -fno-omit-frame-pointer -g)
  add_link_options(-fsanitize=${BRS_SANITIZE})
  # An undefined-behaviour finding ends the program, so that it fails its test.
  if(BRS_SANITIZE MATCHES "undefined")
    add_compile_options(-fno-sanitize-recover=undefined)
    add_link_options(-fno-sanitize-recover=undefined)
  endif()
endif()
