kelvra_add_fuzzer(record_decode_fuzz
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/record_decode_fuzz.cpp
  LIBS kelvra_line)
