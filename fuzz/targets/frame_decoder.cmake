kelvra_add_fuzzer(frame_decoder_fuzz
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/frame_decoder_fuzz.cpp
  LIBS kelvra_frame)
