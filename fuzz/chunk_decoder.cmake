brellin_fuzz(chunk_decoder ${CMAKE_CURRENT_SOURCE_DIR}/chunk_decoder.cpp LINKS brellin_protocols)
