kelvra_add_fuzzer(script_reader_fuzz
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/script_reader_fuzz.cpp
  LIBS kelvra_script)
