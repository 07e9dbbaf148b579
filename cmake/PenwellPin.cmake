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

# The pinned certificate's expected subject summary (its common name) and the label of its
# certificate-store entry. An institution whose receiver certificate has another common name
# sets it with -DPENWELL_PINNED_SUBJECT=<name>.
set(PENWELL_PINNED_SUBJECT "Keyloft" CACHE STRING
    "Expected subject summary (common name) and store label of the pinned certificate")
if(PENWELL_PINNED_SUBJECT STREQUAL "" OR PENWELL_PINNED_SUBJECT MATCHES "[\"\\]")
    message(FATAL_ERROR "PENWELL_PINNED_SUBJECT must be a non-empty name without quotes or backslashes")
endif()

# The folder a host reads Penwell.dat from when it names none and $PENWELL_RESOURCES is not
# set, for a deployment that keeps it apart from the install (/etc/penwell). Empty: the
# install's own share/penwell, found relative to the installed library or program.
set(PENWELL_RESOURCE_DIR "" CACHE PATH
    "Default resource folder; empty: share/penwell of the install, wherever it is moved")
if(PENWELL_RESOURCE_DIR AND NOT IS_ABSOLUTE "${PENWELL_RESOURCE_DIR}")
    message(FATAL_ERROR "PENWELL_RESOURCE_DIR must be an absolute path, got '${PENWELL_RESOURCE_DIR}'")
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
