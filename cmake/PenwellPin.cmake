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
