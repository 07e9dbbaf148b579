# Installs the built libraries into a scratch prefix, then builds and runs the consumers (one
# per library, and the README's snippet) against the exported CMake package, and compiles each
# once more with the flags of its pkg-config file. The consumers get the library's own
# compiler and linker flags, so that a sanitizer build links its runtime.
#
# With -DSHARED=ON it first builds the installed libraries alone as shared libraries
# (BUILD_SHARED_LIBS, no programs, no tests) in a folder of their own, and checks that.
file(REMOVE_RECURSE ${WORK_DIR})
set(prefix ${WORK_DIR}/prefix)

function(run)
    execute_process(COMMAND ${ARGN} RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE err)
    if(NOT result EQUAL 0)
        message(FATAL_ERROR "failed: ${ARGN}\n${out}\n${err}")
    endif()
endfunction()

if(SHARED)
    # Kept between runs, so that a second run builds only what changed. No optimisation: the
    # check is about linking and finding, and CI pays for every compile.
    set(BUILD_DIR ${WORK_DIR}-libraries)
    run(${CMAKE_COMMAND} -S ${SOURCE_DIR}/../.. -B ${BUILD_DIR} -G ${GENERATOR}
        -DBUILD_SHARED_LIBS=ON -DPENWELL_BUILD_TESTS=OFF -DPENWELL_BUILD_TOOLS=OFF
        -DCMAKE_BUILD_TYPE=)
    run(${CMAKE_COMMAND} --build ${BUILD_DIR})
endif()

# The README's embedding snippet: its first C++ block, taken as written.
include(${SOURCE_DIR}/../../cmake/PenwellCodeBlock.cmake)
penwell_write_first_cpp_block(${SOURCE_DIR}/../../README.md ${WORK_DIR}/readme_snippet.cpp)

run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})
run(${CMAKE_COMMAND} -S ${SOURCE_DIR} -B ${WORK_DIR}/build -G ${GENERATOR}
    -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_BUILD_TYPE=Release
    -DREADME_SNIPPET=${WORK_DIR}/readme_snippet.cpp
    "-DCMAKE_CXX_FLAGS=${CXX_FLAGS}" "-DCMAKE_EXE_LINKER_FLAGS=${LINKER_FLAGS}")
run(${CMAKE_COMMAND} --build ${WORK_DIR}/build)
foreach(program consumer receiver_consumer verify_consumer host_consumer pdf_consumer
                qt_consumer)
    if(EXISTS ${WORK_DIR}/build/${program})
        run(${WORK_DIR}/build/${program})
    endif()
endforeach()

# The installed tool and the library find the installed Penwell.dat from their own place,
# whatever the prefix: installed, then moved to another prefix, both still seal. The consumer
# goes into the prefix's bin/ as a packager would put a host program there.
unset(ENV{PENWELL_RESOURCES})
file(COPY ${WORK_DIR}/build/consumer DESTINATION ${prefix}/bin)
set(moved ${WORK_DIR}/moved-prefix)
foreach(where ${prefix} ${moved})
    if(where STREQUAL moved)
        file(RENAME ${prefix} ${moved})
    endif()
    run(${where}/bin/consumer seal)
    if(EXISTS ${where}/bin/penwell)
        run(${where}/bin/penwell replay ${SOURCE_DIR}/../../examples/finger-signature.json --demo
            --data ${WORK_DIR}/signature.data --key ${WORK_DIR}/signature.key)
    endif()
endforeach()
file(RENAME ${moved} ${prefix})

if(NOT EXISTS ${prefix}/share/doc/Penwell/LICENSE)
    message(FATAL_ERROR "the licence text was not installed")
endif()
find_program(PKG_CONFIG pkg-config REQUIRED)
find_program(CXX NAMES c++ g++ REQUIRED)
file(GLOB_RECURSE pc_file ${prefix}/*/penwell.pc)
get_filename_component(pc_dir ${pc_file} DIRECTORY)
set(ENV{PKG_CONFIG_PATH} ${pc_dir})
separate_arguments(extra UNIX_COMMAND "${CXX_FLAGS} ${LINKER_FLAGS}")
# Each library's pkg-config file, with the consumer of that library: penwell-qt.pc and
# penwell-pdf.pc only where this build has them.
set(pc_programs penwell main penwell-receiver receiver penwell-verify verify penwell-host host
    penwell-pdf pdf penwell-qt qt)
while(pc_programs)
    list(POP_FRONT pc_programs package program)
    if(NOT EXISTS ${pc_dir}/${package}.pc)
        if(package MATCHES "^penwell(-receiver|-verify|-host)?$")
            message(FATAL_ERROR "${package}.pc was not installed")
        endif()
        continue()
    endif()
    execute_process(COMMAND ${PKG_CONFIG} --cflags --libs --static ${package}
        OUTPUT_VARIABLE flags RESULT_VARIABLE result ERROR_VARIABLE err
        OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(NOT result EQUAL 0)
        message(FATAL_ERROR "pkg-config does not know ${package}: ${err}")
    endif()
    file(STRINGS ${pc_dir}/${package}.pc license REGEX "^License: Apache-2.0$")
    if(NOT license)
        message(FATAL_ERROR "${package}.pc does not carry the licence")
    endif()
    separate_arguments(flags UNIX_COMMAND "${flags}")
    run(${CXX} ${extra} ${SOURCE_DIR}/${program}.cpp -o ${WORK_DIR}/${program}-pc ${flags}
        -Wl,-rpath,${pc_dir}/..)
    run(${WORK_DIR}/${program}-pc)
endwhile()
