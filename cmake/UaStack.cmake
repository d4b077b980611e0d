# The OPC UA stack (open62541) and its TLS library (mbedTLS), built as static
# libraries by scripts/ua-deps.sh into a cache outside the build tree.
if(DEFINED ENV{TOVI_DEPS})
  set(TOVI_DEPS_DEFAULT "$ENV{TOVI_DEPS}")
else()
  set(TOVI_DEPS_DEFAULT "$ENV{HOME}/.cache/tovi-deps")
endif()
set(TOVI_DEPS "${TOVI_DEPS_DEFAULT}" CACHE PATH "Where scripts/ua-deps.sh keeps the OPC UA stack")
set(TOVI_UA_PREFIX "${TOVI_DEPS}/${TOVI_TRIPLE}")
if(NOT EXISTS "${TOVI_UA_PREFIX}/lib/libopen62541.a")
  message(FATAL_ERROR "The OPC UA stack is not built for ${TOVI_TRIPLE} in ${TOVI_DEPS}: run scripts/ua-deps.sh")
endif()
add_library(tovi_ua_stack INTERFACE)
target_include_directories(tovi_ua_stack SYSTEM INTERFACE "${TOVI_UA_PREFIX}/include")
# The stack's event loop was built for this many sockets in one select().
target_compile_definitions(tovi_ua_stack INTERFACE FD_SETSIZE=1024)
target_link_libraries(tovi_ua_stack INTERFACE
  "${TOVI_UA_PREFIX}/lib/libopen62541.a"
  "${TOVI_UA_PREFIX}/lib/libmbedtls.a"
  "${TOVI_UA_PREFIX}/lib/libmbedx509.a"
  "${TOVI_UA_PREFIX}/lib/libmbedcrypto.a"
  ws2_32 iphlpapi bcrypt ssp)
