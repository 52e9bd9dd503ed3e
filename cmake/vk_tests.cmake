# Test registration shared by every folder under tests/.
#
# vk_add_tests(LIBS <libs...> [THREADED <test names...>])
#   Builds one GoogleTest program per *_test.cpp in the calling folder and
#   registers it with CTest as "<folder>.<file>". Tests named in THREADED get
#   the label "threaded"; scripts/test runs those again under ThreadSanitizer.
function(vk_add_tests)
  cmake_parse_arguments(T "" "" "LIBS;THREADED" ${ARGN})
  get_filename_component(area ${CMAKE_CURRENT_SOURCE_DIR} NAME)
  file(GLOB srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*_test.cpp)
  foreach(src ${srcs})
    get_filename_component(name ${src} NAME_WE)
    set(target ${area}.${name})
    add_executable(${target} ${src})
    target_link_libraries(${target} PRIVATE ${T_LIBS} vk_test_support GTest::gtest_main GTest::gmock)
    add_test(NAME ${target} COMMAND ${target})
    set(labels ${area})
    if(name IN_LIST T_THREADED)
      list(APPEND labels threaded)
    endif()
    set_tests_properties(${target} PROPERTIES TIMEOUT 600 LABELS "${labels}")
  endforeach()
endfunction()
