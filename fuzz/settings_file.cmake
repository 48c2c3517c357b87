brellin_fuzz(settings_file ${CMAKE_CURRENT_SOURCE_DIR}/settings_file.cpp LINKS brellin_storage)
