# The libraries of the build and their link arrows, written as a Mermaid flowchart that
# docs/design.md shows; a test compares the two, so the picture cannot drift from the build.

# Every library target defined in `dir` and below, appended to the list `out`.
function(_penwell_libraries_under dir out)
    get_property(_targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
    set(_found ${${out}})
    foreach(t ${_targets})
        get_target_property(_type ${t} TYPE)
        if(t MATCHES "^penwell" AND _type MATCHES "^(STATIC|SHARED|OBJECT)_LIBRARY$")
            list(APPEND _found ${t})
        endif()
    endforeach()
    get_property(_subdirs DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
    foreach(sub ${_subdirs})
        _penwell_libraries_under(${sub} _found)
    endforeach()
    set(${out} ${_found} PARENT_SCOPE)
endfunction()

# Writes `file`: one arrow per direct link between two of the project's libraries, from the
# library that links to the one it needs, sorted so the text is stable. Test and benchmark
# support libraries are left out: nothing ships on them.
function(penwell_write_library_graph file)
    _penwell_libraries_under(${PROJECT_SOURCE_DIR} _libs)
    list(FILTER _libs EXCLUDE REGEX "_(tests?|bench|support|fuzz)")
    list(SORT _libs)
    set(_nodes "")
    set(_lines "")
    foreach(lib ${_libs})
        # Each box names its library and the folders it is built from: PENWELL_FOLDERS where
        # the target says (the top folder defines more than one), else its own folder.
        get_target_property(_folder ${lib} PENWELL_FOLDERS)
        if(NOT _folder)
            get_target_property(_dir ${lib} SOURCE_DIR)
            file(RELATIVE_PATH _folder ${PROJECT_SOURCE_DIR} ${_dir})
            string(APPEND _folder "/")
        endif()
        list(APPEND _nodes "    ${lib}[\"${lib}<br>${_folder}\"]")
        get_target_property(_deps ${lib} LINK_LIBRARIES)
        foreach(dep ${_deps})
            if(dep IN_LIST _libs)
                list(APPEND _lines "    ${lib} --> ${dep}")
            endif()
        endforeach()
    endforeach()
    list(REMOVE_DUPLICATES _lines)
    list(SORT _lines)
    list(APPEND _nodes ${_lines})
    list(JOIN _nodes "\n" _body)
    file(WRITE ${file} "```mermaid\nflowchart TD\n${_body}\n```\n")
endfunction()
