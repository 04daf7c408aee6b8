# Small helpers in the manner of abseil's absl_cc_library / absl_cc_test.
#
# zev_cc_library(NAME name SRCS ... [DEPS ...] [PUBLIC_DEPS ...] [ALWAYSLINK])
#   A static library `name`. With ALWAYSLINK, `name` is an interface target
#   that links the archive `name_archive` whole, so that objects which only
#   register themselves during static initialisation (RPC executors) are kept.
# zev_cc_test(NAME name SRCS ... [DEPS ...])
#   A GoogleTest executable registered with CTest as one test.
# zev_cc_binary(NAME name SRCS ... [DEPS ...])
include(CMakeParseArguments)

function(zev_cc_library)
  cmake_parse_arguments(ZEV "ALWAYSLINK" "NAME" "SRCS;DEPS;PUBLIC_DEPS" ${ARGN})
  set(target ${ZEV_NAME})
  if(ZEV_ALWAYSLINK)
    set(target ${ZEV_NAME}_archive)
  endif()
  add_library(${target} STATIC ${ZEV_SRCS})
  target_include_directories(${target} PUBLIC ${PROJECT_SOURCE_DIR} ${PROJECT_SOURCE_DIR}/zevservice)
  target_link_libraries(${target} PRIVATE zev_build_flags ${ZEV_DEPS} PUBLIC ${ZEV_PUBLIC_DEPS})
  if(ZEV_ALWAYSLINK)
    add_library(${ZEV_NAME} INTERFACE)
    target_link_libraries(${ZEV_NAME} INTERFACE "$<LINK_LIBRARY:WHOLE_ARCHIVE,${target}>")
  endif()
endfunction()

function(zev_cc_binary)
  cmake_parse_arguments(ZEV "" "NAME" "SRCS;DEPS" ${ARGN})
  add_executable(${ZEV_NAME} ${ZEV_SRCS})
  target_include_directories(${ZEV_NAME} PRIVATE ${PROJECT_SOURCE_DIR} ${PROJECT_SOURCE_DIR}/zevservice)
  target_link_libraries(${ZEV_NAME} PRIVATE zev_build_flags ${ZEV_DEPS})
endfunction()

function(zev_cc_test)
  if(NOT ZEV_BUILD_TESTS)
    return()
  endif()
  cmake_parse_arguments(ZEV "" "NAME" "SRCS;DEPS" ${ARGN})
  add_executable(${ZEV_NAME} ${ZEV_SRCS})
  target_include_directories(${ZEV_NAME} PRIVATE ${PROJECT_SOURCE_DIR} ${PROJECT_SOURCE_DIR}/zevservice)
  target_link_libraries(${ZEV_NAME} PRIVATE zev_build_flags ${ZEV_DEPS} GTest::gtest GTest::gmock GTest::gtest_main)
  add_test(NAME ${ZEV_NAME} COMMAND ${ZEV_NAME})
  set_tests_properties(${ZEV_NAME} PROPERTIES TIMEOUT 600)
endfunction()

# Copies the file that `dep` builds next to `target`'s executable, as
# `file_name`, after each build of `target`: programs load libraries
# (libhwid.so, libzevrpc.so) and start helpers (zevhost) from their own
# directory. Call in the directory that defines `target`; `dep` must be
# defined already.
function(zev_place_beside target dep file_name)
  if(TARGET ${target})
    add_dependencies(${target} ${dep})
    # The copy is made when the target links; a new build of the library
    # alone must relink the target too, or the copy goes stale.
    set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS $<TARGET_FILE:${dep}>)
    add_custom_command(TARGET ${target} POST_BUILD
      COMMAND ${CMAKE_COMMAND} -E copy_if_different $<TARGET_FILE:${dep}> $<TARGET_FILE_DIR:${target}>/${file_name})
  endif()
endfunction()

function(zev_place_hwid target)
  zev_place_beside(${target} hwid libhwid.so)
endfunction()
