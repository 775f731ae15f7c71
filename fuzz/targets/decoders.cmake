kelvra_add_fuzzer(decoders_fuzz SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/decoders_fuzz.cpp LIBS kelvra_device)
