brellin_fuzz(percent_decode ${CMAKE_CURRENT_SOURCE_DIR}/percent_decode.cpp LINKS brellin_base)
