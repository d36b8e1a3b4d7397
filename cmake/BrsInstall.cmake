# brs_install_plugin(<target> <folder in $HOME> <folder under the prefix> [<path inside it>])
# Installs a plug-in module where hosts look for it. The prefix is known only
# when `cmake --install --prefix ...` runs, so the choice is made then: a
# prefix inside $HOME is a user install (~/<folder in $HOME>), any other a
# system one (<prefix>/<folder under the prefix>).
function(brs_install_plugin target user_dir system_dir)
  set(inner "${ARGV3}")
  string(CONFIGURE [[
  set(_brs_home "$ENV{HOME}")
  set(_brs_user FALSE)
  if(_brs_home)
    cmake_path(IS_PREFIX _brs_home "${CMAKE_INSTALL_PREFIX}" NORMALIZE _brs_user)
  endif()
  if(_brs_user)
    set(_brs_dir "${_brs_home}/@user_dir@")
  else()
    set(_brs_dir "${CMAKE_INSTALL_PREFIX}/@system_dir@")
  endif()
  file(INSTALL DESTINATION "${_brs_dir}@inner@" TYPE MODULE FILES "$<TARGET_FILE:@target@>")
]] code @ONLY)
  install(CODE "${code}")
endfunction()
