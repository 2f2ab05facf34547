# Offers toml++ to a cross build under the target name the native build gets
# from pkg-config, from a folder holding nothing but toml++'s own headers.
set(ONDREL_TOMLPP_INCLUDE /usr/include/toml++ CACHE PATH "toml++ header folder (holding toml.h)")
if(NOT EXISTS ${ONDREL_TOMLPP_INCLUDE}/toml.h)
  message(FATAL_ERROR "toml++ headers not found in ${ONDREL_TOMLPP_INCLUDE} (Debian: libtomlplusplus-dev)")
endif()
set(_tomlpp_root ${CMAKE_BINARY_DIR}/third_party/include)
file(MAKE_DIRECTORY ${_tomlpp_root})
file(CREATE_LINK ${ONDREL_TOMLPP_INCLUDE} ${_tomlpp_root}/toml++ SYMBOLIC)
add_library(PkgConfig::TOMLPP INTERFACE IMPORTED)
target_include_directories(PkgConfig::TOMLPP SYSTEM INTERFACE ${_tomlpp_root})
