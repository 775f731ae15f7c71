# Flags every target of ours takes, carried by an INTERFACE target rather than global variables.
option(KELVRA_SANITIZE "Build everything with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
option(KELVRA_FUZZ "Build the fuzz targets with libFuzzer (clang only)" OFF)
option(KELVRA_STRICT_WARNINGS "Warnings as errors, with -Wshadow and -Wconversion" OFF)

add_library(kelvra_warnings INTERFACE)
target_compile_features(kelvra_warnings INTERFACE cxx_std_17)
target_compile_options(kelvra_warnings INTERFACE -Wall -Wextra)
if(KELVRA_STRICT_WARNINGS)
  target_compile_options(kelvra_warnings INTERFACE -Wshadow -Wconversion -Werror)
endif()
if(KELVRA_FUZZ)
  # Coverage for libFuzzer in every library the fuzz targets link.
  target_compile_options(kelvra_warnings INTERFACE -fsanitize=fuzzer-no-link,address,undefined
    -fno-sanitize-recover=all)
  target_link_options(kelvra_warnings INTERFACE -fsanitize=address,undefined)
endif()
if(KELVRA_SANITIZE)
  target_compile_options(kelvra_warnings INTERFACE
    -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  target_link_options(kelvra_warnings INTERFACE -fsanitize=address,undefined)
endif()

# kelvra_library(NAME STATIC|SHARED|OBJECT|INTERFACE [SOURCES...]): a library of the calling folder. Its
# headers are included as "FOLDER/header.h"; its sources must all lie in that folder.
function(kelvra_library name kind)
  foreach(source ${ARGN})
    get_filename_component(full ${source} ABSOLUTE)
    string(FIND "${full}" "${CMAKE_CURRENT_SOURCE_DIR}/" position)
    if(NOT position EQUAL 0)
      message(FATAL_ERROR "${name}: ${source} lies outside ${CMAKE_CURRENT_SOURCE_DIR}")
    endif()
  endforeach()
  if(kind STREQUAL "INTERFACE")
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE ${PROJECT_SOURCE_DIR})
  else()
    add_library(${name} ${kind} ${ARGN})
    target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
    target_link_libraries(${name} PRIVATE kelvra_warnings)
  endif()
endfunction()
