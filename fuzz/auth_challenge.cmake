brellin_fuzz(auth_challenge ${CMAKE_CURRENT_SOURCE_DIR}/auth_challenge.cpp LINKS brellin_protocols)
