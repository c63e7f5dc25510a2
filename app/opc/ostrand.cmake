# Ostrand: the OPC client service (libostrand.so), its VARIANT type and the
# built-in simulation servers; every .cpp in src/.
qv_c_library(NAME ostrand DIR ${CMAKE_CURRENT_SOURCE_DIR} EXPORT_DEFINE OSTRAND_BUILDING
             VERSION 1.0.0 SOVERSION 1)
