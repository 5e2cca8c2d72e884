# Shared build settings and the helpers every folder uses.

set(LV_WARNINGS -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Wold-style-cast -Wcast-align
    -Woverloaded-virtual -Wnull-dereference -Wimplicit-fallthrough)
if(LV_WERROR)
  list(APPEND LV_WARNINGS -Werror)
endif()
# GCC 12 at -O3 (the Release build) follows std::string's copies deep enough into libstdc++ to report
# an overlapping memcpy in its char_traits that cannot happen, with sizes near 2^63 (a known false
# -Wrestrict of GCC 12, gone in 13). Only that warning is dropped, and only there: the normal and the
# sanitizer builds, and newer compilers, keep it.
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
  list(APPEND LV_WARNINGS $<$<CONFIG:Release>:-Wno-restrict>)
endif()

# Line tables are enough for symbolized stack traces and cost far less to compile than full debug
# information; the sanitizer builds run at -O1, which keeps their reports precise and builds faster.
if(LV_SANITIZE)
  set(CMAKE_CXX_FLAGS_RELWITHDEBINFO "-O1 -g1 -DNDEBUG")
  set(CMAKE_C_FLAGS_RELWITHDEBINFO "-O1 -g1 -DNDEBUG")
else()
  set(CMAKE_CXX_FLAGS_RELWITHDEBINFO "-O2 -g1 -DNDEBUG")
  set(CMAKE_C_FLAGS_RELWITHDEBINFO "-O2 -g1 -DNDEBUG")
endif()

# Test code is compiled without optimisation: it is most of the code to compile, and its speed does
# not matter (the product's libraries it calls keep their optimisation).
set(LV_TEST_COMPILE_OPTIONS ${LV_WARNINGS} -O0)

set(LV_SANITIZE_FLAGS "")
if(LV_SANITIZE STREQUAL "address")
  set(LV_SANITIZE_FLAGS -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
elseif(LV_SANITIZE STREQUAL "thread")
  set(LV_SANITIZE_FLAGS -fsanitize=thread -fno-omit-frame-pointer)
elseif(NOT LV_SANITIZE STREQUAL "")
  message(FATAL_ERROR "LV_SANITIZE must be empty, address or thread")
endif()
add_compile_options(${LV_SANITIZE_FLAGS})
if(LV_SANITIZE AND CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  # GCC's flow analysis gives false "maybe uninitialized" and "potential null pointer dereference"
  # reports under the sanitizers' instrumentation (at -O1 it loses that a value's type, its variant's
  # index, names the alternative that get_if then finds). The normal build keeps both warnings.
  add_compile_options(-Wno-maybe-uninitialized)
  list(REMOVE_ITEM LV_WARNINGS -Wnull-dereference)
endif()
if(CMAKE_UNITY_BUILD AND CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  # In a unity build every source is an included file, where GCC takes a class that holds a type of
  # the file's own unnamed namespace for a header's mistake.
  add_compile_options($<$<COMPILE_LANGUAGE:CXX>:-Wno-subobject-linkage>)
endif()
add_link_options(${LV_SANITIZE_FLAGS})
# The fuzz build instruments every library for coverage, so the fuzzers see inside the readers.
if(LV_FUZZ)
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()

find_package(Threads REQUIRED)
find_package(GTest REQUIRED)
find_package(PkgConfig REQUIRED)
find_package(ICU REQUIRED COMPONENTS uc i18n data)

set(LV_SOURCE_ROOT ${PROJECT_SOURCE_DIR}/src)

# lv_library(NAME folder/name SOURCES ... DEPS ... [PUBLIC_LIBS ...])
# One static library per source folder; headers are included as "platform/base/value.h".
function(lv_library target)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS;LIBS" ${ARGN})
  # The TSan build compiles only what its threaded tests link.
  if(LV_SANITIZE STREQUAL "thread")
    add_library(${target} STATIC EXCLUDE_FROM_ALL ${ARG_SOURCES})
  else()
    add_library(${target} STATIC ${ARG_SOURCES})
  endif()
  target_include_directories(${target} PUBLIC ${LV_SOURCE_ROOT})
  target_compile_options(${target} PRIVATE ${LV_WARNINGS})
  # Workers are not joined at exit: the product's statics are never destroyed (platform/base/lifetime.h),
  # and clang refuses one that would be.
  cmake_path(IS_PREFIX LV_SOURCE_ROOT ${CMAKE_CURRENT_SOURCE_DIR} in_product)
  if(in_product AND CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    target_compile_options(${target} PRIVATE -Wexit-time-destructors)
  endif()
  target_link_libraries(${target} PUBLIC ${ARG_DEPS} ${ARG_LIBS})
endfunction()

# lv_test(NAME SOURCES ... DEPS ... [THREADED])
# One GoogleTest binary per library, registered with CTest. THREADED tests also run in the TSan build;
# the label lets the TSan configuration build and run only those.
function(lv_test target)
  cmake_parse_arguments(ARG "THREADED" "" "SOURCES;DEPS" ${ARGN})
  if(LV_SANITIZE STREQUAL "thread" AND NOT ARG_THREADED)
    return()
  endif()
  add_executable(${target} ${ARG_SOURCES})
  target_compile_options(${target} PRIVATE ${LV_TEST_COMPILE_OPTIONS})
  target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR}/tests)
  # The source tree the fixtures are read from when LV_TEST_SOURCE_DIR is not set (a test binary run by
  # hand, outside CTest).
  target_compile_definitions(${target} PRIVATE LV_TEST_DEFAULT_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
  target_link_libraries(${target} PRIVATE ${ARG_DEPS} lv_test_support GTest::gtest GTest::gmock)
  add_test(NAME ${target} COMMAND ${target})
  set_tests_properties(${target} PROPERTIES TIMEOUT 300 ENVIRONMENT "LV_TEST_SOURCE_DIR=${PROJECT_SOURCE_DIR}")
  if(ARG_THREADED)
    set_tests_properties(${target} PROPERTIES LABELS threaded)
  endif()
endfunction()
