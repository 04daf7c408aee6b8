# One place for warnings and sanitizer flags; every target of the project
# picks them up through zev_cc_library / zev_cc_test / zev_cc_binary.
add_library(zev_build_flags INTERFACE)
target_compile_options(zev_build_flags INTERFACE -Wall -Wextra -Wshadow)
if(ZEV_WERROR)
  target_compile_options(zev_build_flags INTERFACE -Werror)
endif()
# clang checks the locking that base/annotated_mutex.h marks (GUARDED_BY,
# REQUIRES, ...) in every build it makes, the fuzz build of scripts/test.sh
# among them; a breach is an error whatever ZEV_WERROR says.
if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  target_compile_options(zev_build_flags INTERFACE -Wthread-safety -Werror=thread-safety)
endif()

if(ZEV_SANITIZE AND ZEV_TSAN)
  message(FATAL_ERROR "ZEV_SANITIZE and ZEV_TSAN cannot be combined")
endif()
if(ZEV_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()
if(ZEV_TSAN)
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
endif()
if(ZEV_FUZZ)
  # Every library is instrumented, so that the fuzzers are guided by coverage
  # of the code they exercise, not only of their own entry points.
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()
