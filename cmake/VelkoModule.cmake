# velko_add_module(NAME <name> [DEPS <targets>...] [PRIVATE_DEPS <targets>...])
#
# Defines the shared library velko_<name> (alias velko::<name>) from every *.cc in the
# calling folder except *_test.cc, *_fuzz.cc, *_bench.cc and plugin_entry.cc, installs it
# with the folder's headers, and, when tests are on, the test program velko_<name>_test
# from the folder's *_test.cc files (GoogleTest, registered with CTest).
# TEST_DEPS names extra libraries for the test program only.
#
# Modules are shared libraries so that a process holds one copy of each, whether it links
# them or loads them as plug-ins. A folder with a plugin_entry.cc also gets the loadable
# plug-in velko_<name> (plugins/velko_<name>.so in the build tree,
# lib/velko/plugins/ when installed).
function(velko_add_module)
  cmake_parse_arguments(ARG "" "NAME" "DEPS;PRIVATE_DEPS;TEST_DEPS" ${ARGN})
  set(target velko_${ARG_NAME})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cc)
  list(FILTER sources EXCLUDE REGEX "(_(test|fuzz|bench)|/plugin_entry)\\.cc$")
  file(GLOB headers CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.h)
  if(sources)
    add_library(${target} SHARED ${sources})
    target_link_libraries(${target} PUBLIC ${ARG_DEPS} PRIVATE ${ARG_PRIVATE_DEPS})
    target_include_directories(${target} PUBLIC
      $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}>
      $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
  else()
    add_library(${target} INTERFACE)
    target_link_libraries(${target} INTERFACE ${ARG_DEPS})
    target_include_directories(${target} INTERFACE
      $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}>
      $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
  endif()
  set_target_properties(${target} PROPERTIES EXPORT_NAME ${ARG_NAME})
  add_library(velko::${ARG_NAME} ALIAS ${target})
  set_property(GLOBAL APPEND PROPERTY VELKO_MODULES ${target})
  file(RELATIVE_PATH rel ${PROJECT_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR})
  install(TARGETS ${target} EXPORT velkoTargets
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
  install(FILES ${headers} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/${rel})

  if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/plugin_entry.cc)
    add_library(${target}_plugin MODULE ${CMAKE_CURRENT_SOURCE_DIR}/plugin_entry.cc)
    target_link_libraries(${target}_plugin PRIVATE ${target})
    set_target_properties(${target}_plugin PROPERTIES
      OUTPUT_NAME velko_${ARG_NAME} PREFIX ""
      LIBRARY_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/plugins
      INSTALL_RPATH "$ORIGIN/../..")
    install(TARGETS ${target}_plugin LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}/velko/plugins)
    set_property(GLOBAL APPEND PROPERTY VELKO_PLUGINS ${target}_plugin)
  endif()

  if(VELKO_BUILD_TESTS)
    file(GLOB tests CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*_test.cc)
    if(tests)
      add_executable(${target}_test ${tests})
      target_link_libraries(${target}_test PRIVATE ${target} ${ARG_TEST_DEPS}
        GTest::gtest GTest::gmock GTest::gtest_main)
      gtest_discover_tests(${target}_test DISCOVERY_TIMEOUT 60
        PROPERTIES ENVIRONMENT "VELKO_SOURCE_DIR=${PROJECT_SOURCE_DIR}")
    endif()
  endif()
endfunction()
