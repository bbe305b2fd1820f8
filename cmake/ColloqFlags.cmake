# One interface target carries the compile flags every target of ours shares.
add_library(colloq_flags INTERFACE)
target_compile_features(colloq_flags INTERFACE cxx_std_20)
target_compile_options(colloq_flags INTERFACE -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Werror)
target_compile_definitions(colloq_flags INTERFACE
    QT_NO_CAST_TO_ASCII
    QT_NO_CAST_FROM_BYTEARRAY
    QT_NO_URL_CAST_FROM_STRING)

option(COLLOQ_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
if(COLLOQ_SANITIZE)
    target_compile_options(colloq_flags INTERFACE -fsanitize=address,undefined -fno-omit-frame-pointer
                                                  -fno-sanitize-recover=undefined)
    target_link_options(colloq_flags INTERFACE -fsanitize=address,undefined)
endif()

find_program(CCACHE_PROGRAM ccache)
if(CCACHE_PROGRAM)
    set(CMAKE_CXX_COMPILER_LAUNCHER "${CCACHE_PROGRAM}" CACHE STRING "" FORCE)
    set(CMAKE_C_COMPILER_LAUNCHER "${CCACHE_PROGRAM}" CACHE STRING "" FORCE)
endif()

# colloq_library(NAME SOURCES...) declares one static library of ours for the folder it is called from.
function(colloq_library name)
    add_library(${name} STATIC ${ARGN})
    target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
    target_link_libraries(${name} PUBLIC colloq_flags)
endfunction()

# libFuzzer build (clang only): everything is instrumented for coverage and checked by the
# sanitizers; the fuzz targets themselves add the fuzzer's main at link time.
if(COLLOQ_FUZZ)
    if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
        message(FATAL_ERROR "COLLOQ_FUZZ needs clang: configure with CC=clang CXX=clang++")
    endif()
    target_compile_options(colloq_flags INTERFACE -fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer
                                                  -fno-sanitize-recover=undefined)
    target_link_options(colloq_flags INTERFACE -fsanitize=address,undefined)
endif()

# ThreadSanitizer build (scripts/tsan-server.sh builds the server's tests with it). It cannot be
# combined with COLLOQ_SANITIZE or COLLOQ_FUZZ, which bring AddressSanitizer.
option(COLLOQ_TSAN "Build with ThreadSanitizer" OFF)
if(COLLOQ_TSAN)
    if(COLLOQ_SANITIZE OR COLLOQ_FUZZ)
        message(FATAL_ERROR "COLLOQ_TSAN cannot be combined with COLLOQ_SANITIZE or COLLOQ_FUZZ")
    endif()
    target_compile_options(colloq_flags INTERFACE -fsanitize=thread -fno-omit-frame-pointer)
    target_link_options(colloq_flags INTERFACE -fsanitize=thread)
endif()
