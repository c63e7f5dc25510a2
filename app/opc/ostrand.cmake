# Ostrand: the OPC client service (libostrand.so), its VARIANT type and the
# built-in simulation servers; every .cpp in src/.
qv_c_library(NAME ostrand DIR ${CMAKE_CURRENT_SOURCE_DIR} EXPORT_DEFINE OSTRAND_BUILDING
             VERSION 1.0.0 SOVERSION 1)
# Secured OPC UA connections: RSA, AES, HMAC and X.509 from OpenSSL 3.
find_package(OpenSSL 3 REQUIRED)
target_link_libraries(ostrand_objects PUBLIC OpenSSL::Crypto)
target_link_libraries(ostrand PRIVATE OpenSSL::Crypto)
target_link_libraries(ostrand_static PUBLIC OpenSSL::Crypto)
