# pv_layer(<name> SOURCES ... DEPENDS ...)
# One static library per layer folder. A layer without sources yet is an
# interface library so that the layers above can already name it.
function(pv_layer name)
  cmake_parse_arguments(L "" "" "SOURCES;DEPENDS;LIBS" ${ARGN})
  if(L_SOURCES)
    add_library(pv_${name} STATIC ${L_SOURCES})
    target_include_directories(pv_${name} PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
    target_link_libraries(pv_${name} PUBLIC ${L_DEPENDS} ${L_LIBS})
  else()
    add_library(pv_${name} INTERFACE)
    target_include_directories(pv_${name} INTERFACE ${CMAKE_CURRENT_SOURCE_DIR})
    target_link_libraries(pv_${name} INTERFACE ${L_DEPENDS} ${L_LIBS})
  endif()
endfunction()

# pv_test(<name> LABEL <label> [FORMATS] SOURCES ... LIBS ...)
# A GoogleTest executable whose tests are registered one by one with CTest
# under the label of the subsystem folder they test. FORMATS hands the
# interface the list of format drivers before the tests run.
function(pv_test name)
  cmake_parse_arguments(T "FORMATS" "LABEL" "SOURCES;LIBS" ${ARGN})
  if(T_FORMATS)
    list(APPEND T_SOURCES ${PROJECT_SOURCE_DIR}/tests/support/useformats.cpp)
    list(APPEND T_LIBS pv_drivers)
  endif()
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} pv_testsupport GTest::gtest GTest::gtest_main)
  gtest_discover_tests(${name}
    DISCOVERY_MODE PRE_TEST
    PROPERTIES LABELS ${T_LABEL} TIMEOUT 300)
endfunction()
