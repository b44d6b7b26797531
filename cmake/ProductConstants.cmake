# Values shared by the driver, the installation file and the client library.
# The vendor ID is the reader's USB idVendor as four upper-case hexadecimal digits.
set(TARNO_VENDOR_ID "2B4E")
# The default product ID of the reader the demo and the tests attach.
set(TARNO_PRODUCT_ID "0730")
# Control GUID of the driver's trace provider (also enabled by the client library's trace capture).
set(TARNO_TRACE_GUID "6F3B7A52-4C1E-4D7B-9A85-2E61C0D94B17")

string(REPLACE "-" ";" _tarno_guid_parts "${TARNO_TRACE_GUID}")
list(GET _tarno_guid_parts 0 _g0)
list(GET _tarno_guid_parts 1 _g1)
list(GET _tarno_guid_parts 2 _g2)
list(GET _tarno_guid_parts 3 _g3)
list(GET _tarno_guid_parts 4 _g4)
set(_bytes "")
foreach(_pos RANGE 0 2 2)
    string(SUBSTRING "${_g3}" ${_pos} 2 _b)
    list(APPEND _bytes "0x${_b}")
endforeach()
foreach(_pos RANGE 0 10 2)
    string(SUBSTRING "${_g4}" ${_pos} 2 _b)
    list(APPEND _bytes "0x${_b}")
endforeach()
list(JOIN _bytes ", " _bytes)
set(TARNO_TRACE_GUID_INITIALIZER "0x${_g0}, 0x${_g1}, 0x${_g2}, ${_bytes}")

configure_file(${CMAKE_CURRENT_LIST_DIR}/ProductConstants.h.in ${CMAKE_BINARY_DIR}/generated/ProductConstants.h @ONLY)
