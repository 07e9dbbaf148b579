# The SHA-1 fingerprint (of the DER encoding) of the receiver's certificate that Penwell pins.
# The default pins the demo certificate in demo-certificate/, which is for tests and the demo
# only: a deployment sets its own with -DPENWELL_PINNED_SHA1=<40 hex digits>.
set(PENWELL_PINNED_SHA1 "8a4d775e95cb7073ef31f0417ed84ed226dd3493" CACHE STRING
    "SHA-1 fingerprint of the pinned receiver certificate (40 hex digits)")
string(TOLOWER "${PENWELL_PINNED_SHA1}" PENWELL_PINNED_SHA1)
if(NOT PENWELL_PINNED_SHA1 MATCHES "^[0-9a-f]+$")
    message(FATAL_ERROR "PENWELL_PINNED_SHA1 must be 40 hexadecimal digits, got '${PENWELL_PINNED_SHA1}'")
endif()
string(LENGTH "${PENWELL_PINNED_SHA1}" _pin_length)
if(NOT _pin_length EQUAL 40)
    message(FATAL_ERROR "PENWELL_PINNED_SHA1 must be 40 hexadecimal digits, got ${_pin_length}")
endif()

# The certificate installed as share/penwell/Penwell.dat. It must be the pinned one: the
# library refuses any other, so a mismatch is caught here rather than at the first export.
set(PENWELL_RESOURCE_FILE "${PROJECT_SOURCE_DIR}/demo-certificate/Penwell.dat" CACHE FILEPATH
    "DER certificate installed as the Penwell.dat resource; its SHA-1 must equal PENWELL_PINNED_SHA1")
if(NOT EXISTS "${PENWELL_RESOURCE_FILE}")
    message(FATAL_ERROR "PENWELL_RESOURCE_FILE does not exist: ${PENWELL_RESOURCE_FILE}")
endif()
file(SHA1 "${PENWELL_RESOURCE_FILE}" _resource_sha1)
if(NOT _resource_sha1 STREQUAL PENWELL_PINNED_SHA1)
    message(FATAL_ERROR "The SHA-1 of PENWELL_RESOURCE_FILE (${_resource_sha1}) is not "
        "PENWELL_PINNED_SHA1 (${PENWELL_PINNED_SHA1}); set both to your own certificate")
endif()
if(PENWELL_PINNED_SHA1 STREQUAL "8a4d775e95cb7073ef31f0417ed84ed226dd3493")
    message(STATUS "Penwell pins the DEMO certificate: fine for tests and the demo, never for production")
endif()
