brellin_fuzz(header_fields ${CMAKE_CURRENT_SOURCE_DIR}/header_fields.cpp LINKS brellin_base)
