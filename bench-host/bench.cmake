# The bench host's `run` and its companions: serial exchange driver, alarm engine, history,
# control socket and the record's named fields.
find_package(SQLite3 REQUIRED)

add_library(kelvra_bench STATIC
  ${CMAKE_CURRENT_LIST_DIR}/alarm_engine.cpp
  ${CMAKE_CURRENT_LIST_DIR}/bench_run.cpp
  ${CMAKE_CURRENT_LIST_DIR}/commands.cpp
  ${CMAKE_CURRENT_LIST_DIR}/console.cpp
  ${CMAKE_CURRENT_LIST_DIR}/control_socket.cpp
  ${CMAKE_CURRENT_LIST_DIR}/decode_input.cpp
  ${CMAKE_CURRENT_LIST_DIR}/history_store.cpp
  ${CMAKE_CURRENT_LIST_DIR}/serial_line.cpp
  ${CMAKE_CURRENT_LIST_DIR}/settings.cpp
  ${CMAKE_CURRENT_LIST_DIR}/station.cpp
  ${PROJECT_SOURCE_DIR}/record/kelvra_419_fields.cpp)
target_include_directories(kelvra_bench PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(kelvra_bench
  PUBLIC kelvra_plugin_loader kelvra_hostfw kelvra_record kelvra_frame kelvra_sim
         JsonCpp::JsonCpp Boost::headers SQLite::SQLite3 Threads::Threads
  PRIVATE kelvra_warnings)
