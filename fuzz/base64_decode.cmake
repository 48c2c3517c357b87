brellin_fuzz(base64_decode ${CMAKE_CURRENT_SOURCE_DIR}/base64_decode.cpp LINKS brellin_base)
