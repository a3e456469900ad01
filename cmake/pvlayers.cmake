# pv_layer(<name> SOURCES ... DEPENDS ...)
# One static library per layer folder, linking only the layers it may call.
function(pv_layer name)
  cmake_parse_arguments(L "" "" "SOURCES;DEPENDS;LIBS" ${ARGN})
  add_library(pv_${name} STATIC ${L_SOURCES})
  target_include_directories(pv_${name} PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
  target_link_libraries(pv_${name} PUBLIC ${L_DEPENDS} ${L_LIBS})
endfunction()

# pv_test(<name> LABEL <label> [FORMATS] SOURCES ... LIBS ...)
# A GoogleTest executable whose tests are registered one by one with CTest
# under the label of the subsystem folder they test. FORMATS gives the
# program a main that wires the layers (PvInit: the list of format
# drivers, the reading layer) before the tests run.
function(pv_test name)
  cmake_parse_arguments(T "FORMATS" "LABEL" "SOURCES;LIBS" ${ARGN})
  if(T_FORMATS)
    list(APPEND T_SOURCES ${PROJECT_SOURCE_DIR}/tests/support/testmain.cpp)
    list(APPEND T_LIBS pv_init)
  else()
    list(APPEND T_LIBS GTest::gtest_main)
  endif()
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} pv_testsupport GTest::gtest)
  gtest_discover_tests(${name}
    DISCOVERY_MODE PRE_TEST
    PROPERTIES LABELS ${T_LABEL} TIMEOUT 300)
endfunction()
