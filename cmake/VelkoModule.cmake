# velko_add_module(NAME <name> [DEPS <targets>...] [PRIVATE_DEPS <targets>...])
#
# Defines the library velko_<name> (alias velko::<name>) from every *.cc in the
# calling folder except *_test.cc, *_fuzz.cc and *_bench.cc, installs it with the
# folder's headers, and, when tests are on, the test program velko_<name>_test from
# the folder's *_test.cc files (GoogleTest, registered with CTest).
# TEST_DEPS names extra libraries for the test program only.
function(velko_add_module)
  cmake_parse_arguments(ARG "" "NAME" "DEPS;PRIVATE_DEPS;TEST_DEPS" ${ARGN})
  set(target velko_${ARG_NAME})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cc)
  list(FILTER sources EXCLUDE REGEX "_(test|fuzz|bench)\\.cc$")
  file(GLOB headers CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.h)
  if(sources)
    add_library(${target} STATIC ${sources})
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
