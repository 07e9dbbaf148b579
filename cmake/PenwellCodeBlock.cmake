# The first ```cpp block of a Markdown page, written to `out` as it stands. The pages' examples
# are compiled (docs/embedding-qt.md with the tests, README.md against the installed package),
# so that a page cannot fall behind the code unnoticed. Written only when it changed.
function(penwell_write_first_cpp_block page out)
    file(READ ${page} _text)
    string(FIND "${_text}" "```cpp\n" _start)
    if(_start LESS 0)
        message(FATAL_ERROR "${page}: no cpp block")
    endif()
    math(EXPR _start "${_start} + 7")
    string(SUBSTRING "${_text}" ${_start} -1 _text)
    string(FIND "${_text}" "```" _end)
    string(SUBSTRING "${_text}" 0 ${_end} _block)
    file(CONFIGURE OUTPUT ${out} CONTENT "${_block}" @ONLY)
endfunction()
