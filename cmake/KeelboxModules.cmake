# One static library per module folder of src/keelbox, so that a test links
# only the modules it exercises and each module links exactly what it
# includes.
#
#   keelbox_module(NAME <folder> [DEPS <targets>...] [PRIVATE_DEPS <targets>...])
#
# creates the target keelbox_<folder> from every .cpp file in the folder.
# DEPS are what the module's headers include (passed on to its users),
# PRIVATE_DEPS what only its sources include.
#
# Platform code sits in files of its own beside the portable code, behind one
# header: <name>_posix.cpp is built everywhere but Windows, <name>_win32.cpp
# only there.
function(keelbox_module)
  cmake_parse_arguments(KM "" "NAME" "DEPS;PRIVATE_DEPS" ${ARGN})
  file(GLOB _sources CONFIGURE_DEPENDS
       "${PROJECT_SOURCE_DIR}/src/keelbox/${KM_NAME}/*.cpp")
  if(WIN32)
    list(FILTER _sources EXCLUDE REGEX "_posix\\.cpp$")
  else()
    list(FILTER _sources EXCLUDE REGEX "_win32\\.cpp$")
  endif()
  if(KEELBOX_UNITY_REVERSED)
    list(REVERSE _sources)
  endif()
  add_library(keelbox_${KM_NAME} STATIC ${_sources})
  target_include_directories(keelbox_${KM_NAME} PUBLIC "${PROJECT_SOURCE_DIR}/src")
  target_link_libraries(keelbox_${KM_NAME} PUBLIC ${KM_DEPS} PRIVATE ${KM_PRIVATE_DEPS})
endfunction()
