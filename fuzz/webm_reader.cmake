brellin_fuzz(webm_reader ${CMAKE_CURRENT_SOURCE_DIR}/webm_reader.cpp LINKS brellin_mkv)
