brellin_fuzz(socks_handshake ${CMAKE_CURRENT_SOURCE_DIR}/socks_handshake.cpp LINKS brellin_protocols)
