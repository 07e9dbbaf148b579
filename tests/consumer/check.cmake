# Installs the built library into a scratch prefix, then builds and runs the consumer against
# the exported CMake package, and compiles it once more with the flags of penwell.pc. The
# consumer gets the library's own compiler and linker flags, so that a sanitizer build links
# its runtime.
file(REMOVE_RECURSE ${WORK_DIR})
set(prefix ${WORK_DIR}/prefix)

function(run)
    execute_process(COMMAND ${ARGN} RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE err)
    if(NOT result EQUAL 0)
        message(FATAL_ERROR "failed: ${ARGN}\n${out}\n${err}")
    endif()
endfunction()

run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})
run(${CMAKE_COMMAND} -S ${SOURCE_DIR} -B ${WORK_DIR}/build -G ${GENERATOR}
    -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_BUILD_TYPE=Release
    "-DCMAKE_CXX_FLAGS=${CXX_FLAGS}" "-DCMAKE_EXE_LINKER_FLAGS=${LINKER_FLAGS}")
run(${CMAKE_COMMAND} --build ${WORK_DIR}/build)
run(${WORK_DIR}/build/consumer)
run(${WORK_DIR}/build/receiver_consumer)

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
execute_process(COMMAND ${PKG_CONFIG} --cflags --libs --static penwell
    OUTPUT_VARIABLE flags RESULT_VARIABLE result OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "pkg-config does not know penwell")
endif()
file(STRINGS ${pc_file} license REGEX "^License: Apache-2.0$")
if(NOT license)
    message(FATAL_ERROR "penwell.pc does not carry the licence")
endif()
separate_arguments(flags UNIX_COMMAND "${flags}")
separate_arguments(extra UNIX_COMMAND "${CXX_FLAGS} ${LINKER_FLAGS}")
run(${CXX} ${extra} ${SOURCE_DIR}/main.cpp -o ${WORK_DIR}/consumer-pc ${flags})
run(${WORK_DIR}/consumer-pc)
