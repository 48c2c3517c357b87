brellin_fuzz(url_parse ${CMAKE_CURRENT_SOURCE_DIR}/url_parse.cpp LINKS brellin_base)
