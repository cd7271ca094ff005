# One static library per module folder of src/keelbox, so that a test links
# only the modules it exercises.
#
#   keelbox_module(NAME <folder> [DEPS <targets>...])
#
# creates the target keelbox_<folder> from every .cpp file in the folder.
function(keelbox_module)
  cmake_parse_arguments(KM "" "NAME" "DEPS" ${ARGN})
  file(GLOB _sources CONFIGURE_DEPENDS
       "${PROJECT_SOURCE_DIR}/src/keelbox/${KM_NAME}/*.cpp")
  add_library(keelbox_${KM_NAME} STATIC ${_sources})
  target_include_directories(keelbox_${KM_NAME} PUBLIC "${PROJECT_SOURCE_DIR}/src")
  target_link_libraries(keelbox_${KM_NAME} PUBLIC ${KM_DEPS})
endfunction()
