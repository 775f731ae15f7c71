# Install layout: programs in bin/, the host framework and the plug-in in lib/ (not a multiarch
# folder: the host finds the plug-in at the same place relative to itself in the build tree and
# in every install prefix), example settings in share/kelvra/.
set(CMAKE_INSTALL_LIBDIR lib CACHE PATH "Folder of the shared libraries, relative to the prefix")
include(GNUInstallDirs)
foreach(folder CMAKE_INSTALL_BINDIR CMAKE_INSTALL_LIBDIR)
  if(IS_ABSOLUTE "${${folder}}")
    message(FATAL_ERROR "${folder} must be relative to the prefix, not ${${folder}}")
  endif()
endforeach()

# The library folder as seen from the program folder ("../lib").
file(RELATIVE_PATH KELVRA_LIBDIR_FROM_BINDIR /${CMAKE_INSTALL_BINDIR} /${CMAKE_INSTALL_LIBDIR})

# kelvra_install_program(TARGET): a program of bin/ (in the build tree too) that loads the
# shared libraries of lib/ beside it.
function(kelvra_install_program target)
  set_target_properties(${target} PROPERTIES
    RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/${CMAKE_INSTALL_BINDIR}
    INSTALL_RPATH "$ORIGIN/${KELVRA_LIBDIR_FROM_BINDIR}")
  install(TARGETS ${target} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endfunction()

# kelvra_install_library(TARGET): a shared library of lib/ (in the build tree too) that loads
# the other shared libraries of lib/.
function(kelvra_install_library target)
  set_target_properties(${target} PROPERTIES
    LIBRARY_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/${CMAKE_INSTALL_LIBDIR}
    INSTALL_RPATH "$ORIGIN")
  # The run-time name only: nothing is built against these libraries where they are installed.
  install(TARGETS ${target} LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} NAMELINK_SKIP)
endfunction()

# kelvra_install_configured(SOURCE DESTINATION): SOURCE with @KELVRA_BINDIR@ and @KELVRA_DATADIR@
# replaced by the absolute program and data folders of the prefix installed into, which is only
# known at install time.
function(kelvra_install_configured source destination)
  get_filename_component(name ${source} NAME)
  set(configured ${CMAKE_CURRENT_BINARY_DIR}/configured/${name})
  install(CODE "
    set(KELVRA_BINDIR \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
    set(KELVRA_DATADIR \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_DATADIR}/kelvra\")
    configure_file(\"${source}\" \"${configured}\" @ONLY)")
  install(FILES ${configured} DESTINATION ${destination})
endfunction()
