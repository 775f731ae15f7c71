# The decoder's sources are compiled into the target itself so that libFuzzer sees their coverage.
kelvra_add_fuzzer(record_decode_fuzz
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/record_decode_fuzz.cpp
          ${PROJECT_SOURCE_DIR}/bench-host/decode_input.cpp
          ${PROJECT_SOURCE_DIR}/bench-host/console.cpp
          ${PROJECT_SOURCE_DIR}/record/kelvra_419_fields.cpp
  LIBS kelvra_record JsonCpp::JsonCpp)
