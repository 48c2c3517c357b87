brellin_fuzz(segment_table ${CMAKE_CURRENT_SOURCE_DIR}/segment_table.cpp LINKS brellin_engine)
