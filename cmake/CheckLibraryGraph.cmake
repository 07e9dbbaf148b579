# cmake -DGRAPH=<generated graph> -DDOC=docs/design.md -P CheckLibraryGraph.cmake
# Fails when the design document's library picture is not the one the build has.
file(READ ${GRAPH} _graph)
file(READ ${DOC} _doc)
string(FIND "${_doc}" "${_graph}" _at)
if(_at EQUAL -1)
    message(FATAL_ERROR "${DOC}: its library picture is not the build's; replace the mermaid "
        "block under \"The libraries\" with ${GRAPH}:\n${_graph}")
endif()
