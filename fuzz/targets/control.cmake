kelvra_add_fuzzer(control_fuzz SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/control_fuzz.cpp LIBS kelvra_device)
