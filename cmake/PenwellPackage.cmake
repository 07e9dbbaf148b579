# What each installed library adds to the package: its headers under include/penwell/, its
# target in the exported set (Penwell::<target>), and a pkg-config file of its own.

# Installs `target` into the exported set and `headers` (paths relative to the source tree's
# top, keeping their folders) under include/penwell/.
function(penwell_install_library target)
    cmake_parse_arguments(PARSE_ARGV 1 _arg "" "" "HEADERS")
    foreach(header ${_arg_HEADERS})
        file(RELATIVE_PATH _relative ${PROJECT_SOURCE_DIR} ${header})
        get_filename_component(_dir ${_relative} DIRECTORY)
        install(FILES ${header} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/penwell/${_dir})
    endforeach()
    install(TARGETS ${target} EXPORT PenwellTargets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
endfunction()

# Writes and installs NAME.pc. REQUIRES are the pkg-config packages a consumer's own code
# needs too (their headers are in ours); LIBS the libraries after -L${libdir}; what is linked
# only inside goes to REQUIRES_PRIVATE and LIBS_PRIVATE, which `pkg-config --static` adds.
function(penwell_pkg_config name)
    cmake_parse_arguments(PARSE_ARGV 1 _arg "" "DESCRIPTION"
        "REQUIRES;REQUIRES_PRIVATE;LIBS;LIBS_PRIVATE")
    set(PC_NAME ${name})
    set(PC_DESCRIPTION "${_arg_DESCRIPTION}")
    list(JOIN _arg_REQUIRES " " PC_REQUIRES)
    list(JOIN _arg_REQUIRES_PRIVATE " " PC_REQUIRES_PRIVATE)
    list(JOIN _arg_LIBS " " PC_LIBS)
    list(JOIN _arg_LIBS_PRIVATE " " PC_LIBS_PRIVATE)
    configure_file(${PROJECT_SOURCE_DIR}/cmake/penwell-library.pc.in
        ${PROJECT_BINARY_DIR}/pkgconfig/${name}.pc @ONLY)
    install(FILES ${PROJECT_BINARY_DIR}/pkgconfig/${name}.pc
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endfunction()
